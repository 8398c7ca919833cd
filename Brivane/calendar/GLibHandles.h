#pragma once

// GLib and GObject references held by RAII: each owned pointer is released by the matching
// unref, once, whatever way its holder ends. For locals g_autoptr and g_autofree do the same.

#include <glib-object.h>
#include <memory>

namespace brivane {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectRef = std::unique_ptr<T, GObjectUnref>;

struct GMainContextUnref {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct GMainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

// A list that holds a reference to each of its objects.
struct GObjectListFree {
    void operator()(GSList* list) const { g_slist_free_full(list, g_object_unref); }
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using GObjectSList = std::unique_ptr<GSList, GObjectListFree>;
using GObjectList = std::unique_ptr<GList, GObjectListFree>;

} // namespace brivane

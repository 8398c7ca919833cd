#include "Brivane/calendar/eds/EdsLoop.h"

namespace brivane::eds {

namespace {

using Work = std::function<void()>;

gboolean runOnce(gpointer data) {
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) {
    delete static_cast<Work*>(data);
}

} // namespace

EdsLoop::EdsLoop()
    : context_(g_main_context_new()), loop_(g_main_loop_new(context_.get(), FALSE)) {}

void EdsLoop::run(const std::function<void()>& started, const std::function<void()>& ending) {
    g_main_context_push_thread_default(context_.get());
    started();
    g_main_loop_run(loop_.get());
    ending();
    g_main_context_pop_thread_default(context_.get());
}

void EdsLoop::quit() {
    post([this] { g_main_loop_quit(loop_.get()); });
}

void EdsLoop::post(std::function<void()> work) {
    g_main_context_invoke_full(context_.get(), G_PRIORITY_DEFAULT, runOnce,
                               new Work(std::move(work)), deleteWork);
}

guint EdsLoop::attach(GSource* source, std::function<void()> work) {
    g_autoptr(GSource) owned = source;
    g_source_set_callback(owned, runOnce, new Work(std::move(work)), deleteWork);
    return g_source_attach(owned, context_.get());
}

guint EdsLoop::idle(std::function<void()> work) {
    return attach(g_idle_source_new(), std::move(work));
}

guint EdsLoop::after(std::chrono::milliseconds delay, std::function<void()> work) {
    return attach(g_timeout_source_new(static_cast<guint>(delay.count())), std::move(work));
}

guint EdsLoop::afterSeconds(unsigned seconds, std::function<void()> work) {
    return attach(g_timeout_source_new_seconds(seconds), std::move(work));
}

// Sources of this context; g_source_remove() would look in the default one.
void EdsLoop::remove(guint& id) {
    if (id != 0) {
        if (GSource* source = g_main_context_find_source_by_id(context_.get(), id)) {
            g_source_destroy(source);
        }
        id = 0;
    }
}

} // namespace brivane::eds

#pragma once

// The GLib main context the EDS worker thread runs, and its loop: everything that talks to EDS
// happens there, so EDS's answers and signals all arrive on that one thread.

#include "Brivane/calendar/GLibHandles.h"

#include <chrono>
#include <functional>

namespace brivane::eds {

class EdsLoop {
public:
    EdsLoop();

    // Runs the loop on the calling thread until quit(): `started` first, `ending` last, both
    // with the context as the thread's default.
    void run(const std::function<void()>& started, const std::function<void()>& ending);
    // From any thread.
    void quit();
    // Runs `work` on the loop's thread (at once when called there); from any thread.
    void post(std::function<void()> work);

    // Sources of this context that run once; loop thread only. remove() takes an id back to 0.
    guint idle(std::function<void()> work);
    guint after(std::chrono::milliseconds delay, std::function<void()> work);
    guint afterSeconds(unsigned seconds, std::function<void()> work);
    void remove(guint& id);

private:
    guint attach(GSource* source, std::function<void()> work);

    std::unique_ptr<GMainContext, GMainContextUnref> context_;
    std::unique_ptr<GMainLoop, GMainLoopUnref> loop_;
};

} // namespace brivane::eds

#include "platform/linux/GLibRunLoop.h"

#include <glib.h>

#include <cmath>
#include <limits>

namespace platform {

namespace {

// Whole milliseconds, rounded up, so that a wait never ends early because of
// rounding; clamped to what a GLib timeout can hold.
guint CeilMilliseconds(std::chrono::duration<double> interval) {
    const double ms = std::ceil(interval.count() * 1000.0);
    if (!(ms > 0)) return 0;  // also NaN
    if (ms >= static_cast<double>(std::numeric_limits<guint>::max())) return std::numeric_limits<guint>::max();
    return static_cast<guint>(ms);
}

gboolean FireTimer(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void DeleteTimerAction(gpointer data) { delete static_cast<std::function<void()>*>(data); }

gboolean EndOfWait(gpointer) { return G_SOURCE_REMOVE; }

}  // namespace

void GLibRunLoop::scheduleTimer(Interval interval, std::function<void()> action) {
    GSource* source = g_timeout_source_new(CeilMilliseconds(interval));
    g_source_set_callback(source, FireTimer, new std::function<void()>(std::move(action)), DeleteTimerAction);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

bool GLibRunLoop::runOnce(Clock::TimePoint limit) {
    GMainContext* context = g_main_context_default();
    // Fails only when another thread owns the main context; the owning thread
    // itself (a nested run, as inside GTK's main loop) may acquire it again.
    if (!g_main_context_acquire(context)) return false;

    // One iteration blocks until some source is ready; a timeout source due at
    // the limit bounds it. Its callback does nothing: the iteration returns
    // after dispatching it.
    GSource* limitSource = g_timeout_source_new(CeilMilliseconds(limit - clock_.now()));
    g_source_set_callback(limitSource, EndOfWait, nullptr, nullptr);
    g_source_attach(limitSource, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(limitSource);
    g_source_unref(limitSource);

    g_main_context_release(context);
    return true;
}

void GLibRunLoop::stop() {
    // A run is one iteration and ends after the handler that is running; waking
    // the context makes sure an iteration that is about to block does not.
    g_main_context_wakeup(g_main_context_default());
}

}  // namespace platform

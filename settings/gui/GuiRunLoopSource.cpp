#include "settings/gui/GuiRunLoopSource.h"

#include <glib.h>

#include <atomic>
#include <cmath>
#include <exception>

#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

namespace {

struct RunLoopSource {
    GSource base;
    // Set from any thread by the run loop's wake handler; the source is ready while it is set.
    std::atomic<bool>* woken;
    std::function<void()>* afterWork;
};

// Milliseconds until the next timer falls due; -1 when there is none.
gint millisecondsToNextTimer() {
    auto next = RunLoop::main().nextFireDate();
    if (!next) return -1;
    double wait = std::ceil((*next - Clock::now()) * 1000.0);
    if (wait <= 0) return 0;
    return wait > G_MAXINT ? G_MAXINT : static_cast<gint>(wait);
}

gboolean prepare(GSource* base, gint* timeout) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    *timeout = millisecondsToNextTimer();
    return source->woken->load() || *timeout == 0;
}

gboolean check(GSource* base) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    return source->woken->load() || millisecondsToNextTimer() == 0;
}

gboolean dispatch(GSource* base, GSourceFunc, gpointer) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    source->woken->store(false);
    try {
        RunLoop::main().runUntilIdle();
    } catch (const std::exception& failure) {
        SystemLog::write(std::string("run loop: ") + failure.what());
    }
    if (*source->afterWork) (*source->afterWork)();
    return G_SOURCE_CONTINUE;
}

void finalize(GSource* base) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    delete source->woken;
    delete source->afterWork;
}

GSourceFuncs kFuncs = {prepare, check, dispatch, finalize, nullptr, nullptr};

}  // namespace

GuiRunLoopSource::GuiRunLoopSource(GMainContext* context, std::function<void()> afterWork) {
    source_ = g_source_new(&kFuncs, sizeof(RunLoopSource));
    auto* source = reinterpret_cast<RunLoopSource*>(source_);
    // Work may already wait in the queue: the first iteration looks.
    source->woken = new std::atomic<bool>(true);
    source->afterWork = new std::function<void()>(std::move(afterWork));
    g_source_set_name(source_, "bytarn run loop");
    g_source_attach(source_, context);
    std::atomic<bool>* woken = source->woken;
    context_ = g_main_context_ref(context);
    RunLoop::main().setWakeHandler([woken, context] {
        woken->store(true);
        g_main_context_wakeup(context);
    });
}

GuiRunLoopSource::~GuiRunLoopSource() {
    // The handler goes first: it points into the source.
    RunLoop::main().setWakeHandler(nullptr);
    g_source_destroy(source_);
    g_source_unref(source_);
    g_main_context_unref(context_);
}

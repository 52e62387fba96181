#include "settings/gui/GuiRunLoopSource.h"

#include <glib.h>

#include <atomic>
#include <cmath>
#include <exception>
#include <memory>

#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

namespace {

// What the wake handler touches, from any thread. The run loop calls a copy of its handler
// outside its lock, so a handler may still run after it was removed: the handler shares this
// state, and the context it wakes lives as long as the state.
struct WakeState {
    explicit WakeState(GMainContext* context) : context(g_main_context_ref(context)) {}
    ~WakeState() { g_main_context_unref(context); }
    WakeState(const WakeState&) = delete;
    WakeState& operator=(const WakeState&) = delete;

    GMainContext* context;
    // The source is ready while this is set.
    std::atomic<bool> woken{true};  // work may already wait: the first iteration looks
};

struct RunLoopSource {
    GSource base;
    std::shared_ptr<WakeState>* wake;
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
    return (*source->wake)->woken.load() || *timeout == 0;
}

gboolean check(GSource* base) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    return (*source->wake)->woken.load() || millisecondsToNextTimer() == 0;
}

gboolean dispatch(GSource* base, GSourceFunc, gpointer) {
    auto* source = reinterpret_cast<RunLoopSource*>(base);
    (*source->wake)->woken.store(false);
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
    delete source->wake;
    delete source->afterWork;
}

GSourceFuncs kFuncs = {prepare, check, dispatch, finalize, nullptr, nullptr};

}  // namespace

GuiRunLoopSource::GuiRunLoopSource(GMainContext* context, std::function<void()> afterWork) {
    auto wake = std::make_shared<WakeState>(context);
    source_ = g_source_new(&kFuncs, sizeof(RunLoopSource));
    auto* source = reinterpret_cast<RunLoopSource*>(source_);
    source->wake = new std::shared_ptr<WakeState>(wake);
    source->afterWork = new std::function<void()>(std::move(afterWork));
    g_source_set_name(source_, "bytarn run loop");
    g_source_attach(source_, context);
    RunLoop::main().setWakeHandler([wake] {
        wake->woken.store(true);
        g_main_context_wakeup(wake->context);
    });
}

GuiRunLoopSource::~GuiRunLoopSource() {
    RunLoop::main().setWakeHandler(nullptr);
    g_source_destroy(source_);
    g_source_unref(source_);
}

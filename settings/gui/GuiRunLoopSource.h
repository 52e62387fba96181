#pragma once

#include <functional>

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

// The host's main run loop inside GLib's main loop, for as long as this lives: a GSource that is
// ready when work was queued (the run loop's wake handler wakes the GLib context from any thread)
// or a timer is due, and otherwise lets GLib sleep until the next timer's fire date. Its dispatch
// runs the run loop until idle and then `afterWork`, so the window follows what the work did.
class GuiRunLoopSource {
  public:
    GuiRunLoopSource(GMainContext* context, std::function<void()> afterWork);
    ~GuiRunLoopSource();
    GuiRunLoopSource(const GuiRunLoopSource&) = delete;
    GuiRunLoopSource& operator=(const GuiRunLoopSource&) = delete;

  private:
    GSource* source_ = nullptr;
};

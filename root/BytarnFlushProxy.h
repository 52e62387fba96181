#pragma once

#include <memory>

class BytarnController;

// The save timer's target. The timer holds the proxy; the proxy holds the page only weakly, so
// the running timer never keeps the page alive, and a tick after the page has gone does nothing.
class BytarnFlushProxy {
  public:
    explicit BytarnFlushProxy(const std::shared_ptr<BytarnController>& target) : _target(target) {}

    // Asks the page to send "save", when the page still lives.
    void flush();

  private:
    std::weak_ptr<BytarnController> _target;
};

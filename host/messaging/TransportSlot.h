#pragma once

#include <memory>
#include <mutex>

// The one installed transport of a kind, made on first use from a default type. Thread-safe:
// any thread may ask for the transport while another installs one.
template <class Transport, class Default>
class TransportSlot {
  public:
    static std::shared_ptr<Transport> current() {
        std::lock_guard lock(mutex());
        auto& transport = slot();
        if (!transport) transport = std::make_shared<Default>();
        return transport;
    }
    static void install(std::shared_ptr<Transport> transport) {
        std::lock_guard lock(mutex());
        slot() = std::move(transport);
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::shared_ptr<Transport>& slot() {
        static std::shared_ptr<Transport> t;
        return t;
    }
};

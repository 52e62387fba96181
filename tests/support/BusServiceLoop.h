#pragma once

// A stand-in service's connection to a private bus and the thread that serves it. Requests are
// answered on that thread, and a test changes the service's state there too (`run`), so the
// service's own state needs no lock.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class BusServiceLoop {
  public:
    explicit BusServiceLoop(const std::string& busAddress)
        : connection_(sdbus::createSessionBusConnectionWithAddress(busAddress)),
          wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~BusServiceLoop() {
        stop();
        close(wake_);
    }
    BusServiceLoop(const BusServiceLoop&) = delete;
    BusServiceLoop& operator=(const BusServiceLoop&) = delete;

    sdbus::IConnection& connection() { return *connection_; }

    // Serves the bus from now on: once the service's objects are registered.
    void start() {
        thread_ = std::thread([this] { serve(); });
    }
    // Stops serving (the service's objects may go after this); again does nothing.
    void stop() {
        if (!thread_.joinable()) return;
        run([this] { stopping_ = true; });
        thread_.join();
    }

    // Runs `task` on the serving thread and waits for it.
    void run(std::function<void()> task) {
        std::packaged_task<void()> packaged(std::move(task));
        auto done = packaged.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(packaged));
        }
        uint64_t one = 1;
        [[maybe_unused]] auto written = write(wake_, &one, sizeof one);
        done.get();
    }

  private:
    void serve() {
        while (!stopping_) {
            while (connection_->processPendingRequest()) {
            }
            std::deque<std::packaged_task<void()>> tasks;
            {
                std::lock_guard lock(mutex_);
                tasks.swap(tasks_);
            }
            for (auto& task : tasks) task();
            if (!tasks.empty()) continue;  // a task may have queued messages
            auto wait = connection_->getEventLoopPollData();
            pollfd fds[2] = {{wait.fd, wait.events, 0}, {wake_, POLLIN, 0}};
            poll(fds, 2, 100);
            uint64_t count = 0;
            if (fds[1].revents) {
                [[maybe_unused]] auto got = read(wake_, &count, sizeof count);
            }
        }
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    int wake_;
    std::mutex mutex_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool stopping_ = false;  // the serving thread only
    std::thread thread_;
};

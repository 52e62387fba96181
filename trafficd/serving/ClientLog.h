// The log lines that clients cause (connections, bad lines, stray acknowledgements), bounded per
// uid: any local user can open the socket as often as it likes, and unbounded lines would bury
// the helper's own warnings in the journal. Past the bound a uid's lines are counted by kind and
// summed up in one line.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

namespace bytarn::trafficd {

class ClientLog {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // A uid may log `burst` lines at once, and `perSecond` more each second after that. A summary
    // of what was held back comes at most every `summaryEvery`.
    explicit ClientLog(double burst = 20, double perSecond = 1,
                       Clock::duration summaryEvery = std::chrono::seconds(10),
                       Now now = Clock::now);
    ~ClientLog();  // sums up what is still held back
    ClientLog(const ClientLog&) = delete;
    ClientLog& operator=(const ClientLog&) = delete;

    // Logs line for uid, or counts it under `kind` (a few words: "bad lines") when uid is over
    // its share.
    void write(uid_t uid, const std::string& kind, const std::string& line);

    // Logs a summary for each uid with held-back lines whose summary is due; forgets uids that
    // have been quiet for a while. Called about once a second.
    void flush();

    // Lines held back so far, over all uids (tests, figures).
    uint64_t suppressedTotal() const { return suppressedTotal_; }

  private:
    struct Share {
        double tokens;
        Clock::time_point refilled, firstSuppressed;
        std::map<std::string, uint64_t> suppressed;  // by kind
    };
    void summarize(uid_t uid, Share& share, Clock::time_point now);

    double burst_, perSecond_;
    Clock::duration summaryEvery_;
    Now now_;
    std::unordered_map<uid_t, Share> shares_;
    uint64_t suppressedTotal_ = 0;
};

}  // namespace bytarn::trafficd

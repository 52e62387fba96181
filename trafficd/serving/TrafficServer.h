// The Unix socket that hands each user's collector its deltas: SO_PEERCRED decides whose, one
// client per uid, non-blocking throughout so that a slow client never holds up the readings.
#pragma once

#include "trafficd/serving/ClientLog.h"
#include "trafficd/serving/DeltaLedger.h"
#include "trafficd/serving/RestrictionLine.h"

#include <poll.h>
#include <sys/types.h>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bytarn::trafficd {

class TrafficServer {
  public:
    // Sent deltas a client may leave unacknowledged before it gets more; later ones wait
    // unsent, where they still merge within their slot.
    static constexpr uint64_t window = 64;
    // Connections of one uid that may watch the interfaces at once: each holds a descriptor of
    // the helper's, and any local user may open them.
    static constexpr size_t watchersPerUid = 4;

    // The protocol's version, in the hello.
    static constexpr int protocolVersion = 3;

    // What became of a restriction line: a refusal (the connection is then closed), or what it
    // changed, for the log (empty: nothing).
    struct RestrictionAnswer {
        std::string refusal, change;
    };
    // Applies a restriction line of a client's, with the client's uid (SO_PEERCRED).
    using RestrictionHandler = std::function<RestrictionAnswer(uid_t, const RestrictionLine&)>;
    void onRestriction(RestrictionHandler handler) { restrictionHandler_ = std::move(handler); }

    // Takes ownership of a listening socket.
    TrafficServer(int listenFd, DeltaLedger& ledger);
    ~TrafficServer();
    TrafficServer(const TrafficServer&) = delete;
    TrafficServer& operator=(const TrafficServer&) = delete;

    // The socket systemd passed (LISTEN_FDS/LISTEN_PID, fd 3), else a new one at path: parent
    // directory created, a stale socket replaced, created with mode 0666. Throws
    // std::runtime_error when path is not a socket, or is one a live helper answers on.
    static int listeningSocket(const std::filesystem::path& path);
    // Throws std::runtime_error when a live helper answers on path (a socket systemd passes is
    // never checked).
    static void refuseIfServed(const std::filesystem::path& path);

    // Descriptors to poll, then handle what poll reported for them (same order).
    std::vector<pollfd> pollSet() const;
    void handle(const std::vector<pollfd>& ready);

    // New deltas are in the ledger: queue them for the clients connected. Also sums up the
    // clients' log lines held back (about once a second, with the readings).
    void offerDeltas();

    // One interface as the clients are told: its kind in the protocol's spelling and why.
    struct Interface {
        std::string name;
        unsigned ifindex;
        std::string kind, reason;
    };
    // The interfaces changed: every client is sent the new list now, a new one on connecting.
    void offerInterfaces(const std::vector<Interface>& interfaces);

    // The uids of the clients connected for deltas (not those that only watch the interfaces).
    std::set<uid_t> clientUids() const;

    // Whether poll says a client is waiting to be accepted (the list may want a refresh first).
    bool clientsWaiting(const std::vector<pollfd>& ready) const;

  private:
    struct Client {
        int fd;
        uid_t uid;
        std::string input, output;
        uint64_t lastSent = 0;  // highest seq sent on this connection
        bool closing = false;   // close once output is written
        bool watching = false;  // asked for the interfaces only: no deltas, holds no uid's place
        bool spoke = false;     // has sent a line
        // Accepted as its uid's client or watcher: restriction lines read before (right after
        // connecting) wait until the connection is known not to be refused.
        bool admitted = false;
        std::vector<std::string> pending;
    };

    void accept();
    void fill(Client& client);
    bool readFrom(Client& client);  // false: close
    bool writeTo(Client& client);   // false: close
    bool handleLine(Client& client, const std::string& line);
    bool handleRestriction(Client& client, const std::string& line);
    void refuse(Client& client, const std::string& reason);
    void close(Client& client);
    size_t watchersOf(uid_t uid) const;

    int listenFd_;
    DeltaLedger& ledger_;
    ClientLog clientLog_;            // every line a client causes goes through it
    std::map<int, Client> clients_;  // by fd
    std::string interfacesLine_;     // the current list, as sent
    RestrictionHandler restrictionHandler_;
};

}  // namespace bytarn::trafficd

#pragma once

#include <functional>
#include <optional>

#include "collector/sources/HelperRestrictions.h"
#include "host/netpolicy/RestrictionStore.h"

// The running collector's side of keeping applications off mobile data: follows the user's
// choices in the host's RestrictionStore (a stat per check, a read when the file changed) and
// the limit's pause, and hands the set to whoever sends it to the traffic helper (the kernel
// source) whenever it changes, and once at the start. Stored entries that are not usable names
// are logged once per change of the file and left out. Used from the main thread.
class MobileDataRestrictions {
  public:
    using Sender = std::function<void(const HelperRestrictions&)>;

    // `send` may be empty (no kernel source): the choices are then only followed.
    explicit MobileDataRestrictions(Sender send);

    // Reads the choices again when their file changed, takes whether mobile data is paused,
    // and sends the set when it differs from the last one sent.
    void check(bool paused);

    const HelperRestrictions& current() const { return current_; }

  private:
    void readChoices();

    Sender send_;
    RestrictionStore::Watcher watcher_;  // made before the first read
    HelperRestrictions current_;
    std::optional<HelperRestrictions> sent_;
};

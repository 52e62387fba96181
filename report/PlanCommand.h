#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/foundation/CommandRegistry.h"

// `bytarn plan`: the data plans for scripts and terminals. Alone it prints each plan with its
// current cycle's figures from the usage database; `set` and `clear` write the plans to the
// host's preference store, where the collector and the pages follow them. Exit status: 0 on
// success, 1 when the database cannot be read or the store cannot be written, 2 on bad
// arguments.
class PlanCommand : public BundleCommand {
  public:
    int run(const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) override;
};

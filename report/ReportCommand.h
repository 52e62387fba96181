#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/foundation/CommandRegistry.h"

// `bytarn report`: the usage history of the page's database for scripts, spreadsheets and
// monitoring. Its period, device filter and order are the page's own, read from the page's
// stored settings unless the command line names others. Exit status: 0 on success, 1 when the
// database is missing or unreadable (nothing on `out` then), 2 on bad arguments.
class ReportCommand : public BundleCommand {
  public:
    int run(const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) override;
};

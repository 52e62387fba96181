#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/foundation/CommandRegistry.h"

// `bytarn restrict APP` and `bytarn allow APP`: an application's "Mobile data" off and on again,
// with `bytarn allow --always APP` and `bytarn restrict --only-when-paused APP` for its "Always
// allowed" mark; and `bytarn restrictions`, the choices and whether the cellular plan's limit
// pauses mobile data now. They write the host's RestrictionStore, which the running collector
// follows and hands to the traffic helper. Exit status: 0 on success, 1 when the store cannot
// be written or the database read, 2 on bad arguments (an identifier no application has).
class RestrictCommand : public BundleCommand {
  public:
    int run(const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) override;
};

class AllowCommand : public BundleCommand {
  public:
    int run(const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) override;
};

class RestrictionsCommand : public BundleCommand {
  public:
    int run(const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) override;
};

#pragma once

#include <memory>
#include <string>

#include "host/foundation/Value.h"
#include "host/netpolicy/RestrictionStore.h"
#include "host/preferences/PSListController.h"

// The user's applications and their mobile data, opened from the Data plan page: every
// application the usage database holds (and any the choices name), titled as the Bytarn pages
// title them and sorted by title, each a switch. The row that opens the page says which list it
// shows (its "planList" property):
// - "mobileData": "Mobile data" per application, on unless restricted; off keeps it off
//   cellular networks. A link row below opens the other list.
// - "alwaysAllowed": "Always allowed" per application; on keeps its mobile data while the
//   cellular plan's limit pauses it for the others.
// Each switch is written through RestrictionStore; a refusal (a name it cannot take, the
// 1,025th name, a store it cannot write) is thrown for the front end's message and changes
// nothing. The pages below are reloaded, so their counts follow.
class DataPlanApplicationsController : public PSListController {
  public:
    const PSSpecifierList& specifiers() override;
    void setPreferenceValue(const Value& value, const std::shared_ptr<PSSpecifier>& row) override;

    // Whether the list of this page has the application's switch on, by the last build.
    bool isOn(const std::string& application) const;

  private:
    bool showsAlwaysAllowed() const;

    RestrictionStore::Restrictions choices_;
};

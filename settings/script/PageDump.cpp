#include "settings/script/PageDump.h"

#include <memory>
#include <vector>

#include "host/foundation/NSDateFormatter.h"
#include "host/preferences/PSListController.h"
#include "host/preferences/PSListItemsController.h"
#include "host/preferences/PSSpecifier.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIDatePicker.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"

namespace PageDump {

namespace {

Json textOrNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json();
}

Json imageName(const std::shared_ptr<UIImage>& image) {
    return image ? Json(image->resourceName()) : Json();
}

Json buttonJSON(const std::shared_ptr<UIBarButtonItem>& button) {
    if (!button) return nullptr;
    Json out = Json::object();
    out["title"] = textOrNull(button->title());
    out["image"] = imageName(button->image());
    out["style"] = static_cast<int>(button->style());
    return out;
}

}  // namespace

Json rowJSON(PSListController& page, PSSpecifier& row) {
    Json out = Json::object();
    out["cell"] = static_cast<int>(row.cellType());
    out["name"] = row.name();
    out["value"] = textOrNull(row.valueText());
    auto icon = row.property<std::shared_ptr<UIImage>>("iconImage");
    out["icon"] = icon ? imageName(*icon) : Json();
    std::string identifier = row.identifier();
    out["id"] = identifier.empty() ? Json() : Json(identifier);
    out["cellClass"] = textOrNull(row.stringProperty("cellClass"));
    if (auto level = row.level()) out["level"] = *level;
    if (row.cellType() == PSEditTextCell) out["placeholder"] = row.placeholder();
    if (auto* choices = dynamic_cast<PSListItemsController*>(&page)) {
        if (row.cellType() == PSListItemCell) out["checked"] = choices->isItemChecked(row);
    }
    return out;
}

Json pageJSON(PSViewController& page) {
    // The rows first: building a page is what gives it its bar buttons.
    Json rows = Json::array();
    if (auto* list = dynamic_cast<PSListController*>(&page)) {
        // A copy of the list: a getter is free to rebuild the page while it is being read.
        PSSpecifierList specifiers = list->specifiers();
        for (const auto& row : specifiers) rows.push_back(rowJSON(*list, *row));
    }
    Json out = Json::object();
    out["class"] = page.className();
    out["title"] = page.title();
    out["left"] = buttonJSON(page.navigationItem().leftBarButtonItem());
    out["right"] = buttonJSON(page.navigationItem().rightBarButtonItem());
    out["rows"] = std::move(rows);
    // A date page tells the local day its picker is on.
    if (auto picker = page.view()->findSubview<UIDatePicker>()) {
        NSDateFormatter day;
        day.setLocale("en_US_POSIX");
        day.setDateFormat("yyyy-MM-dd");
        out["picker"] = textOrNull(day.stringFromDate(picker->date()));
    }
    return out;
}

Json valueJSON(const Value& value) {
    if (auto b = value.boolean()) return *b;
    if (auto i = value.integer()) return *i;
    if (auto d = value.real()) return *d;
    if (auto s = value.string()) return *s;
    if (auto a = value.array()) {
        Json out = Json::array();
        for (const auto& item : *a) out.push_back(valueJSON(item));
        return out;
    }
    if (auto d = value.dictionary()) {
        Json out = Json::object();
        for (const auto& [key, item] : *d) out[key] = valueJSON(item);
        return out;
    }
    return nullptr;
}

std::string line(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace PageDump

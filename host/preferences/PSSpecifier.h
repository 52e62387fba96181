#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/foundation/InlineAny.h"
#include "host/foundation/Value.h"

class PSListController;

// Cell types of the Settings host's rows.
enum PSCellType {
    PSGroupCell = 0,       // a section header; its name titles the section
    PSLinkCell = 1,        // a title that opens its detail page
    PSLinkListCell = 2,    // title and value; a tap opens the detail page
    PSListItemCell = 3,    // an item of a choice list
    PSTitleValueCell = 4,  // title and value
    PSSwitchCell = 6,      // title and an on/off switch: a boolean value (commitSwitch)
    PSStaticTextCell = 7,  // plain text
    PSEditTextCell = 8,    // title and a value the user types (commitEditText)
    PSButtonCell = 13,
};

// One row of a list page: its name, the page that answers for it (target), how its value is read
// and stored, the page a tap opens, its cell type, and string-keyed properties.
//
// Rows are shared: a page's list, a settings section and an open detail page may hold the very
// same row object. The target is a weak reference, so a row never keeps its page alive.
class PSSpecifier {
  public:
    // Reads the row's value on its target, with the row as the only argument.
    using Getter = std::function<Value(PSListController& target, PSSpecifier& row)>;
    // Stores a new value on its target: (target, value, row).
    using Setter = std::function<void(PSListController& target, const Value& value,
                                      const std::shared_ptr<PSSpecifier>& row)>;

    static std::shared_ptr<PSSpecifier> preferenceSpecifierNamed(
        std::string name, const std::shared_ptr<PSListController>& target, Setter setter,
        Getter getter, std::string detailClass, PSCellType cell, std::string editClass = {});
    // An untitled section header.
    static std::shared_ptr<PSSpecifier> emptyGroupSpecifier();
    static std::shared_ptr<PSSpecifier> groupSpecifierWithName(const std::string& name);

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

    std::shared_ptr<PSListController> target() const { return target_.lock(); }
    void setTarget(const std::shared_ptr<PSListController>& target) { target_ = target; }

    const Getter& getter() const { return getter_; }
    const Setter& setter() const { return setter_; }
    void setGetter(Getter g) { getter_ = std::move(g); }
    void setSetter(Setter s) { setter_ = std::move(s); }

    // The registered class name of the page a tap opens; empty for none.
    const std::string& detailControllerClass() const { return detail_; }
    void setDetailControllerClass(std::string c) { detail_ = std::move(c); }

    PSCellType cellType() const { return cell_; }
    void setCellType(PSCellType c) { cell_ = c; }
    const std::string& editPaneClass() const { return edit_; }

    // Properties. Strings are held as std::string, images as std::shared_ptr<UIImage>, and any
    // other shared object as its own std::shared_ptr. A row has a handful, so they are kept in
    // a short list in the order they were first set, and strings and shared pointers in place.
    void setProperty(InlineAny value, const std::string& key);
    const InlineAny* propertyForKey(const std::string& key) const;
    void removePropertyForKey(const std::string& key);
    // Room for this many properties, for a caller that knows how many a row will get.
    void reserveProperties(std::size_t count) { properties_.reserve(count); }

    // A property of a given type, or nullptr when absent or of another type.
    template <class T>
    const T* property(const std::string& key) const {
        const InlineAny* p = propertyForKey(key);
        return p ? p->get<T>() : nullptr;
    }
    // A string property (held as std::string or as a string Value), or nothing.
    std::optional<std::string> stringProperty(const std::string& key) const;
    // A plist-valued property ("default", "validValues", ...), or nil.
    Value valueProperty(const std::string& key) const;

    // A text entry row's hint for an empty field (the "placeholder" property); empty for none.
    std::string placeholder() const { return stringProperty("placeholder").value_or(""); }

    // The "id" property; empty when the row has none.
    std::string identifier() const;
    // The "id" property when it is held as a string, without a copy; nullptr otherwise.
    const std::string* identifierIfString() const { return property<std::string>("id"); }

    // The text the host shows on the right of the row: the getter's text for a row with a
    // getter; for a choice row (one with "validValues"), the title of its current value.
    // Nothing for rows that show no value.
    std::optional<std::string> valueText();

    // How full the row's value is, from 0 to 1 (the "level" property, a real), for a row that
    // shows a level beside its value: a level bar in the window, a text bar in the terminal.
    // Nothing for other rows; a level outside 0 to 1 is held to it.
    std::optional<double> level() const;
    void setLevel(double level);

  private:
    std::string name_;
    std::weak_ptr<PSListController> target_;
    Getter getter_;
    Setter setter_;
    std::string detail_;
    PSCellType cell_ = PSGroupCell;
    std::string edit_;
    std::vector<std::pair<std::string, InlineAny>> properties_;
};

using PSSpecifierList = std::vector<std::shared_ptr<PSSpecifier>>;

// Text typed into a text entry row (PSEditTextCell): without its surrounding spaces, it goes as a
// string through the row's setter to its target, for a row of a settings plist the page's
// setPreferenceValue, which checks it. Empty text cancels: nothing is stored and it returns
// false. A row that takes no text, or without its page, throws std::runtime_error; so does a
// setter that refuses the text (its sentence is the reason, and the stored value stays), which
// the front ends show as their message.
bool commitEditText(const std::shared_ptr<PSSpecifier>& row, std::string_view text);

// Whether a switch row (PSSwitchCell) is on: its getter's value as a flag (a number is on when
// not 0); off when it has no value or no page.
bool switchIsOn(PSSpecifier& row);
// A switch turned on or off: the flag goes as a boolean Value through the row's setter to its
// target, for a row of a settings plist the page's setPreferenceValue. A row that is no switch,
// or without its page, throws std::runtime_error; so does a setter that refuses (its sentence is
// the reason, the stored value stays), which the front ends show as their message.
void commitSwitch(const std::shared_ptr<PSSpecifier>& row, bool on);

#include "settings/terminal/TerminalController.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <utility>

#include "host/preferences/PSListController.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIKit.h"
#include "settings/core/SettingsApplication.h"

// What the front end remembers of one page on the stack.
struct TerminalController::PageState {
    std::weak_ptr<PSViewController> page;
    // The selection: the row object, and its name and list index for when the object is gone.
    std::weak_ptr<PSSpecifier> selected;
    std::string selectedName;
    int selectedIndex = -1;  // -1 until the page is first shown
    int scrollTop = 0;
    // The list as the table showed it last.
    PSSpecifierList shown;
    DateField dateField = DateField::Day;
};

namespace {

bool isGroup(const PSSpecifier& row) {
    return row.cellType() == PSGroupCell;
}

int indexIn(const PSSpecifierList& list, const PSSpecifier* row) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].get() == row) return static_cast<int>(i);
    return -1;
}

// Indices from the highest down, so that erasing one leaves the others in place.
std::vector<int> descending(std::vector<int> indices) {
    std::sort(indices.begin(), indices.end(), std::greater<>());
    return indices;
}

}  // namespace

std::string TerminalController::Editor::utf8(size_t from, size_t length) const {
    std::u32string_view shown =
        std::u32string_view(text).substr(std::min(from, text.size()), length);
    std::string out;
    icu::UnicodeString::fromUTF32(reinterpret_cast<const UChar32*>(shown.data()),
                                  static_cast<int32_t>(shown.size()))
        .toUTF8String(out);
    return out;
}

double TerminalController::steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

TerminalController::TerminalController(SettingsApplication& application, MonotonicClock clock)
    : PageNavigator(application), clock_(std::move(clock)) {
    follow();
}

TerminalController::~TerminalController() = default;

void TerminalController::resize(int columns, int rows) {
    columns_ = std::max(1, columns);
    rows_ = std::max(1, rows);
    if (auto* state = currentState()) keepSelectionVisible(*state);
}

int TerminalController::tableHeight() const {
    return std::max(0, rows_ - kChromeRows);
}

TerminalController::DateField TerminalController::dateField() const {
    const PageState* state = currentState();
    return state ? state->dateField : DateField::Day;
}

int TerminalController::scrollTop() const {
    const PageState* state = currentState();
    return state ? state->scrollTop : 0;
}

std::optional<double> TerminalController::highlightDeadline() const {
    if (inserted_.empty() && removed_.empty()) return std::nullopt;
    return highlightUntil_;
}

TerminalController::PageState& TerminalController::stateOf(
    const std::shared_ptr<PSViewController>& page) {
    for (auto& state : states_)
        if (state->page.lock() == page) return *state;
    auto state = std::make_unique<PageState>();
    state->page = page;
    states_.push_back(std::move(state));
    return *states_.back();
}

const TerminalController::PageState* TerminalController::currentState() const {
    auto page = topPage();
    for (const auto& state : states_)
        if (page && state->page.lock() == page) return state.get();
    return nullptr;
}

TerminalController::PageState* TerminalController::currentState() {
    return const_cast<PageState*>(std::as_const(*this).currentState());
}

// Input.

void TerminalController::handleKey(const TerminalKey& key) {
    if (key.kind == TerminalKey::Resize) return;  // the caller resizes with the new size
    clearMessage();
    if (editor_) return handleEditorKey(key);
    if (prompt_) return answerPrompt(key);
    if (help_) {
        help_ = false;  // any key closes the help
        return;
    }
    if (key.kind == TerminalKey::Character) {
        if (key.character == U'?') {
            help_ = true;
            return;
        }
        if (key.character == U'q' || key.character == U'Q') {
            quit_ = true;
            return;
        }
    }
    if (datePicker())
        handleDateKey(key);
    else
        handleListKey(key);
}

void TerminalController::handleListKey(const TerminalKey& key) {
    const int page = std::max(1, tableHeight() - 1);
    switch (key.kind) {
        case TerminalKey::Up:
            return moveSelection(-1);
        case TerminalKey::Down:
            return moveSelection(1);
        case TerminalKey::PageUp:
            return moveSelectionBy(-page);
        case TerminalKey::PageDown:
            return moveSelectionBy(page);
        case TerminalKey::Home:
            return selectEdge(false);
        case TerminalKey::End:
            return selectEdge(true);
        case TerminalKey::WheelUp:
            return scrollBy(-kWheelLines);
        case TerminalKey::WheelDown:
            return scrollBy(kWheelLines);
        case TerminalKey::Enter:
        case TerminalKey::Right:
            return tapSelected();
        case TerminalKey::Left:
        case TerminalKey::Backspace:
        case TerminalKey::Escape:
            return goBack();
        case TerminalKey::Delete:
            return askToDelete();
        case TerminalKey::Character:
            if (key.character == U's') return pressRight();
            // Space flips a switch, as in a form; elsewhere it does nothing.
            if (key.character == U' ' && isSelectable(selectedLine_) &&
                lines_[static_cast<size_t>(selectedLine_)].row->cellType() == PSSwitchCell)
                return tapSelected();
            if (key.character == U'd') return askToDelete();
            return;
        default:
            return;
    }
}

void TerminalController::handleDateKey(const TerminalKey& key) {
    PageState* state = currentState();
    if (!state) return;
    int field = static_cast<int>(state->dateField);
    switch (key.kind) {
        case TerminalKey::Left:
        case TerminalKey::Right:
            field = std::clamp(field + (key.kind == TerminalKey::Left ? -1 : 1), 0, 2);
            state->dateField = static_cast<DateField>(field);
            return;
        case TerminalKey::Up:
        case TerminalKey::WheelUp:
            return changeDate(1);
        case TerminalKey::Down:
        case TerminalKey::WheelDown:
            return changeDate(-1);
        case TerminalKey::Enter:
            return pressRight();
        case TerminalKey::Escape:
        case TerminalKey::Backspace:
            return goBack();
        case TerminalKey::Character:
            if (key.character == U's') return pressRight();
            // Space flips a switch, as in a form; elsewhere it does nothing.
            if (key.character == U' ' && isSelectable(selectedLine_) &&
                lines_[static_cast<size_t>(selectedLine_)].row->cellType() == PSSwitchCell)
                return tapSelected();
            return;
        default:
            return;
    }
}

void TerminalController::handleHit(const Hit& hit) {
    clearMessage();
    // A click anywhere answers an open question with no and closes the help.
    if (prompt_ || help_ || editor_) {
        prompt_.reset();
        editor_.reset();
        help_ = false;
        return;
    }
    switch (hit.kind) {
        case Hit::LeftButton:
            return goBack();
        case Hit::RightButton:
            return pressRight();
        case Hit::TableLine:
            if (!isSelectable(hit.index)) return;
            selectLine(hit.index);
            return tapSelected();
        case Hit::DateField:
            if (auto* state = currentState(); state && hit.index >= 0 && hit.index <= 2)
                state->dateField = static_cast<DateField>(hit.index);
            return;
        case Hit::Nothing:
            return;
    }
}

void TerminalController::handleEditorKey(const TerminalKey& key) {
    Editor& editor = *editor_;
    std::u32string& text = editor.text;
    switch (key.kind) {
        case TerminalKey::Character:
            // Control characters are no part of a figure; anything printable is.
            if (key.character < 0x20 || key.character == 0x7f) return;
            text.insert(editor.cursor++, 1, key.character);
            return;
        case TerminalKey::Backspace:
            if (editor.cursor > 0) text.erase(--editor.cursor, 1);
            return;
        case TerminalKey::Delete:
            if (editor.cursor < text.size()) text.erase(editor.cursor, 1);
            return;
        case TerminalKey::Left:
            if (editor.cursor > 0) --editor.cursor;
            return;
        case TerminalKey::Right:
            if (editor.cursor < text.size()) ++editor.cursor;
            return;
        case TerminalKey::Home:
            editor.cursor = 0;
            return;
        case TerminalKey::End:
            editor.cursor = text.size();
            return;
        case TerminalKey::Escape:
            editor_.reset();
            return;
        case TerminalKey::Enter: {
            // Closed first: the page the text goes to may rebuild itself or refuse it.
            Editor done = std::move(*editor_);
            editor_.reset();
            return enterText(done.row, done.utf8());
        }
        default:
            return;
    }
}

void TerminalController::answerPrompt(const TerminalKey& key) {
    prompt_.reset();
    auto row = pendingDelete_.lock();
    pendingDelete_.reset();
    bool yes =
        key.kind == TerminalKey::Character && (key.character == U'y' || key.character == U'Y');
    if (yes) deleteRow(row);
}

// Selection and scrolling.

bool TerminalController::isSelectable(int line) const {
    return line >= 0 && line < static_cast<int>(lines_.size()) &&
           lines_[static_cast<size_t>(line)].kind == Line::Row;
}

void TerminalController::selectLine(int line) {
    PageState* state = currentState();
    if (!state || !isSelectable(line)) return;
    const Line& chosen = lines_[static_cast<size_t>(line)];
    selectedLine_ = line;
    state->selected = chosen.row;
    state->selectedName = chosen.row->name();
    state->selectedIndex = chosen.index;
    keepSelectionVisible(*state);
}

void TerminalController::moveSelection(int direction) {
    for (int line = selectedLine_ + direction; line >= 0 && line < static_cast<int>(lines_.size());
         line += direction) {
        if (isSelectable(line)) return selectLine(line);
    }
    // Nothing further that way: show the rest of the table there, headers included.
    scrollBy(direction * static_cast<int>(lines_.size()));
}

void TerminalController::moveSelectionBy(int count) {
    if (lines_.empty()) return;
    int last = static_cast<int>(lines_.size()) - 1;
    int target = std::clamp(selectedLine_ + count, 0, last);
    int direction = count < 0 ? -1 : 1;
    for (int line = target; line >= 0 && line <= last; line += direction)
        if (isSelectable(line)) return selectLine(line);
    for (int line = target; line >= 0 && line <= last; line -= direction)
        if (isSelectable(line)) {
            if (line != selectedLine_) return selectLine(line);
            break;
        }
    scrollBy(direction * static_cast<int>(lines_.size()));
}

void TerminalController::selectEdge(bool last) {
    int count = static_cast<int>(lines_.size());
    for (int i = 0; i < count; ++i) {
        int line = last ? count - 1 - i : i;
        if (isSelectable(line)) {
            selectLine(line);
            break;
        }
    }
    scrollBy(last ? count : -count);
}

void TerminalController::scrollBy(int count) {
    PageState* state = currentState();
    if (!state) return;
    int height = tableHeight();
    int most = std::max(0, static_cast<int>(lines_.size()) - height);
    state->scrollTop = std::clamp(state->scrollTop + count, 0, most);
    int top = state->scrollTop, bottom = top + height;  // the visible lines are [top, bottom)
    if (selectedLine_ >= top && selectedLine_ < bottom) return;
    // The selection stays on screen: the nearest visible row takes it.
    bool above = selectedLine_ < top;
    for (int i = 0; i < height; ++i) {
        int line = above ? top + i : bottom - 1 - i;
        if (isSelectable(line)) {
            const Line& chosen = lines_[static_cast<size_t>(line)];
            selectedLine_ = line;
            state->selected = chosen.row;
            state->selectedName = chosen.row->name();
            state->selectedIndex = chosen.index;
            return;
        }
    }
}

void TerminalController::keepSelectionVisible(PageState& state) {
    int height = tableHeight();
    int& top = state.scrollTop;
    if (selectedLine_ >= 0) {
        if (selectedLine_ < top) {
            top = selectedLine_;
            // Scrolling up shows the headers of the row's section with it.
            while (top > 0 && lines_[static_cast<size_t>(top - 1)].kind == Line::Group &&
                   selectedLine_ - (top - 1) < height)
                --top;
        } else if (selectedLine_ >= top + height) {
            top = selectedLine_ - height + 1;
        }
    }
    top = std::clamp(top, 0, std::max(0, static_cast<int>(lines_.size()) - height));
}

// Actions on the pages.

void TerminalController::act(const std::function<void()>& action) {
    PageNavigator::act(action);
    follow();
}

void TerminalController::refresh() {
    act([] {});
}

void TerminalController::tapSelected() {
    if (!isSelectable(selectedLine_)) return;
    const auto& row = lines_[static_cast<size_t>(selectedLine_)].row;
    // A text entry row opens the editor, empty: what is typed replaces the value. A switch
    // flips.
    if (row->cellType() == PSEditTextCell)
        editor_ = Editor{row, {}, 0};
    else if (row->cellType() == PSSwitchCell)
        setSwitch(row, !switchIsOn(*row));
    else
        tap(row);
}

void TerminalController::askToDelete() {
    auto list = topListPage();
    if (!list || !isSelectable(selectedLine_)) return;
    const Line& line = lines_[static_cast<size_t>(selectedLine_)];
    auto path = list->indexPathForIndex(line.index);
    if (!path) return;
    if (list->tableView(list->table(), *path) != UITableViewCellEditingStyleDelete) {
        showMessage(line.row->name() + " cannot be deleted");
        return;
    }
    pendingDelete_ = line.row;
    prompt_ = "Delete " + line.row->name() + "? y/n";
}

void TerminalController::changeDate(int amount) {
    if (const PageState* state = currentState()) turnDate(state->dateField, amount);
}

// Following the top page.

void TerminalController::follow() {
    auto page = topPage();
    const auto& stack = application().navigationController()->childViewControllers();
    std::erase_if(states_, [&](const auto& state) {
        auto held = state->page.lock();
        return !held || std::find(stack.begin(), stack.end(), held) == stack.end();
    });
    dropUpdatesBelowTop();

    lines_.clear();
    selectedLine_ = -1;
    // An editor belongs to a row of the page it was opened on.
    if (editor_ && editor_->row->target() != page) editor_.reset();
    if (!page) return;
    PageState& state = stateOf(page);
    auto list = std::dynamic_pointer_cast<PSListController>(page);
    bool newcomer = followedPage_.lock() != page;
    followedPage_ = page;
    if (newcomer) {
        inserted_.clear();
        removed_.clear();
        highlightBase_.clear();
        if (list) list->table().takeUpdates();
    }
    if (!list || datePicker()) return;

    PSSpecifierList current = list->specifiers();
    std::optional<int> scrollTarget;
    if (!newcomer) scrollTarget = noteUpdates(*list, state, current);
    PSSpecifierList previous = std::exchange(state.shown, current);
    buildLines(current);
    restoreSelection(state, previous, current);
    if (scrollTarget && !lines_.empty()) {
        int line =
            lineOfListIndex(std::clamp(*scrollTarget, 0, static_cast<int>(current.size()) - 1));
        while (line > 0 && lines_[static_cast<size_t>(line - 1)].kind == Line::Group) --line;
        state.scrollTop = line;
        scrollBy(0);
    }
    keepSelectionVisible(state);
}

std::optional<int> TerminalController::noteUpdates(PSListController& list, const PageState& state,
                                                   const PSSpecifierList& current) {
    using Update = UITableView::Update;
    std::vector<Update> updates = list.table().takeUpdates();
    std::optional<int> scrollTarget;
    for (const auto& update : updates)
        if (update.kind == Update::Scroll)
            scrollTarget = list.indexOfGroup(update.indexPath.section) + update.indexPath.row + 1;

    // The table records indices, not rows. Removed rows are found by replaying the removals on
    // the list as it was shown, up to the first change that brought rows of its own; inserted
    // rows by undoing the insertions on the list as it is, back to the first change that took
    // rows away or rebuilt the list.
    std::set<const PSSpecifier*> removed, inserted;
    for (const auto& row : removedAnimated(state.shown, updates)) removed.insert(row.get());
    PSSpecifierList after = current;
    for (auto update = updates.rbegin(); update != updates.rend(); ++update) {
        if (update->kind == Update::Scroll) continue;
        if (update->kind != Update::Insert) break;
        for (int index : descending(update->indices)) {
            if (index < 0 || index >= static_cast<int>(after.size())) continue;
            if (update->animated) inserted.insert(after[static_cast<size_t>(index)].get());
            after.erase(after.begin() + index);
        }
    }
    if (!removed.empty() || !inserted.empty()) {
        highlightBase_ = state.shown;
        removed_ = std::move(removed);
        inserted_ = std::move(inserted);
        highlightUntil_ = clock_() + kHighlightSeconds;
    } else if (!updates.empty() && updates.back().kind == Update::Reload) {
        // A rebuilt list has none of the rows a highlight was about.
        highlightUntil_ = 0;
    }
    return scrollTarget;
}

void TerminalController::buildLines(const PSSpecifierList& current) {
    bool highlighting = clock_() < highlightUntil_;
    if (!highlighting) {
        inserted_.clear();
        removed_.clear();
        highlightBase_.clear();
    }
    auto add = [&](int index) {
        const auto& row = current[static_cast<size_t>(index)];
        lines_.push_back(
            {isGroup(*row) ? Line::Group : Line::Row, row, inserted_.count(row.get()) > 0, index});
    };
    int count = static_cast<int>(current.size());
    if (removed_.empty()) {
        for (int i = 0; i < count; ++i) add(i);
        return;
    }
    // Removed rows show in their old places among the rows that stayed.
    std::map<const PSSpecifier*, int> position;
    for (int i = 0; i < count; ++i) position[current[static_cast<size_t>(i)].get()] = i;
    int next = 0;
    for (const auto& row : highlightBase_) {
        auto found = position.find(row.get());
        if (found == position.end()) {
            if (removed_.count(row.get())) lines_.push_back({Line::Removed, row, true, -1});
            continue;
        }
        while (next <= found->second) add(next++);
    }
    while (next < count) add(next++);
}

void TerminalController::restoreSelection(PageState& state, const PSSpecifierList& previous,
                                          const PSSpecifierList& current) {
    const int count = static_cast<int>(current.size());
    auto selectable = [&](int i) {
        return i >= 0 && i < count && !isGroup(*current[static_cast<size_t>(i)]);
    };
    auto selected = state.selected.lock();
    int index = selected ? indexIn(current, selected.get()) : -1;
    if (index < 0 && !state.selectedName.empty()) {
        // The list was built anew: the row of that name nearest to where the old one was.
        for (int i = 0; i < count; ++i) {
            if (!selectable(i) || current[static_cast<size_t>(i)]->name() != state.selectedName)
                continue;
            if (index < 0 ||
                std::abs(i - state.selectedIndex) < std::abs(index - state.selectedIndex))
                index = i;
        }
    }
    if (index < 0 && state.selectedIndex < 0) {
        // The first look at the page: a choice list starts on its checked item.
        for (int i = 0; i < count && index < 0; ++i)
            if (selectable(i) && isChecked(*current[static_cast<size_t>(i)])) index = i;
        for (int i = 0; i < count && index < 0; ++i)
            if (selectable(i)) index = i;
    }
    if (index < 0) {
        // The row is gone: the nearest row after it that is still there takes its place, else
        // the nearest one before it.
        const int before = static_cast<int>(previous.size());
        int was = selected ? indexIn(previous, selected.get()) : -1;
        if (was < 0) was = state.selectedIndex;
        auto survivor = [&](int i) {
            if (i < 0 || i >= before || isGroup(*previous[static_cast<size_t>(i)])) return -1;
            return indexIn(current, previous[static_cast<size_t>(i)].get());
        };
        for (int i = was + 1; i < before && index < 0; ++i) index = survivor(i);
        for (int i = was - 1; i >= 0 && index < 0; --i) index = survivor(i);
    }
    if (index < 0) {
        // Nothing of the old list is left: the row now where the old one was, or the nearest.
        int from = std::clamp(state.selectedIndex, 0, std::max(0, count - 1));
        for (int i = from; i < count && index < 0; ++i)
            if (selectable(i)) index = i;
        for (int i = from; i >= 0 && index < 0; --i)
            if (selectable(i)) index = i;
    }
    if (index < 0) return;
    const auto& row = current[static_cast<size_t>(index)];
    state.selected = row;
    state.selectedName = row->name();
    state.selectedIndex = index;
    selectedLine_ = lineOfListIndex(index);
}

int TerminalController::lineOfListIndex(int index) const {
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].index == index) return static_cast<int>(i);
    return -1;
}

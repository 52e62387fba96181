// The root page's link with the usage collector: periodic saves, the change notification, and
// swipe-to-delete of an application's records.
#include "data/BytarnEntry.h"
#include "host/foundation/RunLoop.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"
#include "root/BytarnController.h"
#include "root/BytarnFlushProxy.h"

namespace {

const char* const kChangedNotification = BYTARN_IDENTIFIER "/Changed";
constexpr double kSaveInterval = 15.0;

std::shared_ptr<CPDistributedMessagingCenter> collectorCenter() {
    return CPDistributedMessagingCenter::centerNamed(BYTARN_COLLECTOR_SERVICE);
}

// Runs on the notification centre's thread: it only queues the reload on the main thread, and
// the reload finds the page only while it still lives.
void collectorChanged(CFNotificationCenterRef, void* observer, const std::string&, const void*,
                      const Value::Dictionary*) {
    auto* page = static_cast<BytarnController*>(observer);
    std::weak_ptr<PSViewController> weakPage = page->weak_from_this();
    RunLoop::main().perform([weakPage] {
        if (auto live = std::static_pointer_cast<BytarnController>(weakPage.lock()))
            live->reloadSpecifiers();
    });
}

}  // namespace

void BytarnFlushProxy::flush() {
    if (auto page = _target.lock()) page->flush();
}

void BytarnController::startCollectorLink() {
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this,
                                    collectorChanged, kChangedNotification, nullptr, 0);
    flush();
    auto proxy = std::make_shared<BytarnFlushProxy>(self());
    flushTimer_ = NSTimer::scheduledTimerWithTimeInterval(
        kSaveInterval, [proxy](NSTimer&) { proxy->flush(); }, true);
}

void BytarnController::endCollectorLink() {
    CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this,
                                       kChangedNotification, nullptr);
    if (flushTimer_) flushTimer_->invalidate();
    flushTimer_.reset();
}

void BytarnController::flush() {
    collectorCenter()->sendMessageName("save", std::nullopt);
}

std::shared_ptr<PSSpecifier> BytarnController::specifierAtIndexPath(NSIndexPath indexPath) const {
    int group = indexOfGroup(indexPath.section);
    if (group < 0 || indexPath.row < 0) return nullptr;
    return specifierAtIndex(group + indexPath.row + 1);
}

UITableViewCellEditingStyle BytarnController::tableView(UITableView&, NSIndexPath indexPath) {
    // Only application rows carry a usage record, and only they can be deleted.
    auto row = specifierAtIndexPath(indexPath);
    return row && entry(*row) ? UITableViewCellEditingStyleDelete : UITableViewCellEditingStyleNone;
}

void BytarnController::tableView(UITableView&, UITableViewCellEditingStyle style,
                                 NSIndexPath indexPath) {
    if (style != UITableViewCellEditingStyleDelete) return;
    auto row = specifierAtIndexPath(indexPath);
    // A row that offers no delete is never deleted, whoever asks.
    if (!row || !entry(*row)) return;
    const std::string identifier = row->identifier();
    if (apps_) apps_->erase(identifier);
    ++appsQuery_;
    CPDistributedMessagingCenter::UserInfo userInfo{{"bundleIdentifier", identifier}};
    removeSpecifierAtIndex(indexOfGroup(indexPath.section) + indexPath.row + 1, true);
    // The totals keep counting the application until the next build, which the collector's
    // change notification brings about.
    collectorCenter()->sendMessageName("deleteApplication", userInfo);
}

#include "pages/BytarnAutoPopPSListItemsController.h"

#include "host/preferences/ClassRegistry.h"

REGISTER_PAGE_CLASS(BytarnAutoPopPSListItemsController);

void BytarnAutoPopPSListItemsController::listItemSelected(
    const std::shared_ptr<PSSpecifier>& item) {
    PSListItemsController::listItemSelected(item);
    if (auto navigation = navigationController()) navigation->popViewControllerAnimated(true);
}

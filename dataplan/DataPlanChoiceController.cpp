#include "dataplan/DataPlanChoiceController.h"

#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIKit.h"

REGISTER_PAGE_CLASS(DataPlanChoiceController);

void DataPlanChoiceController::listItemSelected(const std::shared_ptr<PSSpecifier>& item) {
    PSListItemsController::listItemSelected(item);
    if (auto navigation = navigationController()) navigation->popViewControllerAnimated(true);
}

#pragma once

// Step 3: where the tasks on the wallpaper come from (up to three chosen lists, lists by name,
// or by due date).

#include "Brivane/ui/SettingsStep.h"
#include "BrivaneCore/ReminderModel.h"

#include <vector>

class QComboBox;

namespace brivane::ui {

class RemindersStep : public SettingsStep {
    Q_OBJECT
public:
    using SettingsStep::SettingsStep;
    void build(QVBoxLayout* layout) override;

private:
    void buildGrouping(QVBoxLayout* layout);
    void buildListBlocks(QVBoxLayout* layout, const std::vector<ReminderList>& lists);

    void chooseGrouping(QComboBox* picker, int index);
    void chooseList(QComboBox* picker, ReminderSection section, int index);
};

} // namespace brivane::ui

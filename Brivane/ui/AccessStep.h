#pragma once

// Step 1: what Pellora reads and the access it needs: local calendars, cloud accounts, tasks.

#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/ui/SettingsStep.h"

namespace brivane::ui {

class AccessStep : public SettingsStep {
    Q_OBJECT
public:
    using SettingsStep::SettingsStep;
    void build(QVBoxLayout* layout) override;

private:
    void buildLocalCalendars(QVBoxLayout* layout);
    void buildCloudCalendars(QVBoxLayout* layout);
    void buildTasks(QVBoxLayout* layout);

    void chooseCalendars();
    void verifyAccess();
    void connectCloud(CloudCalendarProvider provider);
    void disconnectCloud(const CloudCalendarAccount& account);
    void openTaskPrivacy();
    void exploreSample();
};

} // namespace brivane::ui

#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "install/CommandInstallToolBody.h"

#include <QString>

#include <optional>

// Runs downloads, zip extractions and folder replaces as tasks named by the guid of the request
// that started them. Answers at once only to refuse; afterwards the requester gets progress (0),
// "finish" (100) or the worker's error text (101) until the task ends.
class AbilityInstallTool : public AbilityTable<AbilityInstallTool>
{
public:
    AbilityInstallTool();

    // Tasks running, stopped ones not counted.
    int TaskCount() const { return static_cast<int>(Tasks().Size()); }
    // The task running for _qstrGuid, or null.
    Task* FindTask(const QString& _qstrGuid) const { return Tasks().Find(_qstrGuid); }

private:
    Handled DealDownload(const JsonCommand& _jsonCommand);
    Handled DealUnzip(const JsonCommand& _jsonCommand);
    Handled DealReplace(const JsonCommand& _jsonCommand);

    // Parses the body of a start into _body; the 102 or 103 refusal when the task cannot start.
    // _blLocalFrom: "from" names a local path (unzip, replace) rather than a URL.
    std::optional<Handled> Refusal(const JsonCommand& _jsonCommand, bool _blLocalFrom,
                                   CommandInstallToolBody& _body) const;

    static const std::vector<Row> kCommands;
};

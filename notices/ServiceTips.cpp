#include "notices/ServiceTips.h"

#include "core/AppPaths.h"
#include "core/MessageService.h"
#include "notices/ViewTips.h"

#include <QMap>
#include <QPointer>
#include <QUuid>

namespace {

// Main thread only, as the windows are. Entries of closed windows read as null and are pruned.
QMap<QString, QPointer<ViewTips>>& OpenedWindows()
{
    static QMap<QString, QPointer<ViewTips>> s_windows;
    return s_windows;
}

} // namespace

namespace ServiceTips {

ViewTipsData Styled(const QString& _qstrQssFile)
{
    const QString folder = AppPaths::QssFolderOrDefault();
    ViewTipsData description;
    description.view_tips_qss_path = folder + QStringLiteral("/qss/") + _qstrQssFile;
    description.view_tips_image_path = folder + QStringLiteral("/image");
    description.view_tips_image_replace = QStringLiteral("%path%");
    return description;
}

JsonCommand Command(const ViewTipsData& _description)
{
    JsonCommand command;
    command.type = Envelope::kCommand;
    command.command = QStringLiteral("command_show_tips_view");
    command.guid = QUuid::createUuid().toString();
    command.iscast = false;
    command.from = Envelope::kServiceName;
    command.to = QStringList{Envelope::kServiceName};
    command.data = _description.ToString();
    return command;
}

QString Show(const ViewTipsData& _description)
{
    const JsonCommand command = Command(_description);
    MessageService::Instance().Post(command);
    return command.guid;
}

bool Close(const QString& _qstrGuid)
{
    const QPointer<ViewTips> window = OpenedWindows().take(_qstrGuid);
    if (!window || !window->isVisible())
        return false;
    window->close();
    return true;
}

void Opened(const JsonCommand& _request, ViewTips* _pViewTips)
{
    // Only the service's own windows are closed by guid; a client's guid means nothing here.
    if (_request.from != Envelope::kServiceName)
        return;
    auto& windows = OpenedWindows();
    for (auto it = windows.begin(); it != windows.end();)
        it = it.value() ? std::next(it) : windows.erase(it);
    windows.insert(_request.guid, _pViewTips);
}

} // namespace ServiceTips

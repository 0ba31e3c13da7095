#include "notices/ServiceTips.h"

#include "core/AppPaths.h"
#include "core/MessageService.h"
#include "notices/ViewTips.h"

#include <QUuid>

ServiceTips::ServiceTips(MessageService& _hub) : m_hub(_hub) {}

ViewTipsData ServiceTips::Styled(const QString& _qstrQssFile)
{
    const QString folder = AppPaths::QssFolderOrDefault();
    ViewTipsData description;
    description.view_tips_qss_path = folder + QStringLiteral("/qss/") + _qstrQssFile;
    description.view_tips_image_path = folder + QStringLiteral("/image");
    description.view_tips_image_replace = QStringLiteral("%path%");
    return description;
}

JsonCommand ServiceTips::Command(const ViewTipsData& _description)
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

ServiceTips::Handle ServiceTips::Show(const ViewTipsData& _description)
{
    DropFinished();
    const JsonCommand command = Command(_description);
    // Listed before it is sent, whenever the hub hands it to the tips ability.
    m_mapShown[command.guid] = Entry();
    m_hub.Post(command);
    return command.guid;
}

void ServiceTips::Close(const Handle& _handle)
{
    const auto it = m_mapShown.find(_handle);
    if (it == m_mapShown.end())
        return;
    // Out of the list first: a command still on its way then finds its handle gone.
    const QPointer<ViewTips> window = it->second.window;
    m_mapShown.erase(it);
    if (window)
        window->close();
}

bool ServiceTips::IsWanted(const JsonCommand& _request) const
{
    // A client's window is the client's; the service's own are those still listed.
    if (_request.from != Envelope::kServiceName)
        return true;
    const auto it = m_mapShown.find(_request.guid);
    return it != m_mapShown.end() && !it->second.opened;
}

void ServiceTips::Attach(const JsonCommand& _request, ViewTips* _pWindow)
{
    if (_request.from != Envelope::kServiceName)
        return;
    const auto it = m_mapShown.find(_request.guid);
    if (it == m_mapShown.end())
        return;
    it->second.opened = true;
    it->second.window = _pWindow;
}

void ServiceTips::DropFinished()
{
    for (auto it = m_mapShown.begin(); it != m_mapShown.end();)
        it = it->second.opened && !it->second.window ? m_mapShown.erase(it) : std::next(it);
}

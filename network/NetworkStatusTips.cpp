#include "network/NetworkStatusTips.h"

#include "core/AppPaths.h"
#include "core/JsonCommand.h"
#include "core/MessageService.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <QWidget>

namespace {

const char kLogoFine[] = "lblLogoNetworkNoErrorImage";
const char kLogoBroken[] = "lblLogoNetworkErrorImage";

struct Obj
{
    int width = 0;
    int height = 0;
    int fontSize = 0;
    int borderRadius = 0;
    int marginTop = 0;
    QString objName;
    QString showName;
};

QJsonObject ToJson(const Obj& _obj)
{
    QJsonObject json;
    json.insert(QStringLiteral("width"), _obj.width);
    json.insert(QStringLiteral("height"), _obj.height);
    json.insert(QStringLiteral("font_size"), _obj.fontSize);
    json.insert(QStringLiteral("border_radius"), _obj.borderRadius);
    json.insert(QStringLiteral("margin_top"), _obj.marginTop);
    json.insert(QStringLiteral("margin_bottom"), 0);
    json.insert(QStringLiteral("margin_spacing"), 0);
    json.insert(QStringLiteral("obj_name"), _obj.objName);
    json.insert(QStringLiteral("show_name"), _obj.showName);
    return json;
}

} // namespace

namespace NetworkStatusTips {

QString Describe(bool _blIsOn, const QString& _qstrMsg, const QString& _qstrQssFolder)
{
    Obj view;
    view.objName = QStringLiteral("viewTips");
    view.borderRadius = 12;
    Obj logo;
    logo.objName = QLatin1String(_blIsOn ? kLogoFine : kLogoBroken);
    logo.width = 40;
    logo.height = 40;
    logo.marginTop = 8;
    Obj mainTips;
    mainTips.objName = QStringLiteral("lblMainTips");
    mainTips.showName = _qstrMsg;
    mainTips.width = _blIsOn ? 90 : 190;
    mainTips.height = 20;
    mainTips.fontSize = 14;
    mainTips.marginTop = 4;

    QJsonObject json;
    json.insert(QStringLiteral("width"), 258);
    json.insert(QStringLiteral("height"), 84);
    json.insert(QStringLiteral("show_time"), 5);
    json.insert(QStringLiteral("strong_stips"), false);
    json.insert(QStringLiteral("title_show"), false);
    json.insert(QStringLiteral("logo_show"), true);
    json.insert(QStringLiteral("main_tips"), true);
    json.insert(QStringLiteral("frame_detail"), false);
    json.insert(QStringLiteral("label_detail"), false);
    json.insert(QStringLiteral("view_data"), ToJson(view));
    json.insert(QStringLiteral("title_data"), ToJson(Obj()));
    json.insert(QStringLiteral("logo_data"), ToJson(logo));
    json.insert(QStringLiteral("main_tips_data"), ToJson(mainTips));
    json.insert(QStringLiteral("frame_detail_data"), ToJson(Obj()));
    json.insert(QStringLiteral("label_detail_data"), ToJson(Obj()));
    json.insert(QStringLiteral("widget_button_data"), ToJson(Obj()));
    json.insert(QStringLiteral("list_button_data"), QJsonArray());
    json.insert(QStringLiteral("view_tips_image_path"), _qstrQssFolder + QStringLiteral("/image"));
    json.insert(QStringLiteral("view_tips_qss_path"),
                _qstrQssFolder + QStringLiteral("/qss/network_error_tips.qss"));
    json.insert(QStringLiteral("view_tips_image_replace"), QStringLiteral("%path%"));
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

void Request(bool _blIsOn, const QString& _qstrMsg)
{
    JsonCommand command;
    command.type = Envelope::kCommand;
    command.command = QStringLiteral("command_show_tips_view");
    command.guid = QUuid::createUuid().toString();
    command.iscast = false;
    command.from = Envelope::kServiceName;
    command.to = QStringList{Envelope::kServiceName};
    // Beside the executable in the build folder, in the share folder once installed.
    QString folder = AppPaths::QssFolder();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath() + QStringLiteral("/qss");
    command.data = Describe(_blIsOn, _qstrMsg, folder);
    MessageService::Instance().Post(command);
}

int CloseShown()
{
    // The tips windows are built by another ability; ours are the ones holding a network logo.
    int closed = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        if (window->findChild<QWidget*>(QLatin1String(kLogoFine)) ||
            window->findChild<QWidget*>(QLatin1String(kLogoBroken))) {
            window->close();
            ++closed;
        }
    }
    return closed;
}

} // namespace NetworkStatusTips

#include "notices/ViewTipsData.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"
#include "notices/NoticeJson.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

const ViewTipsData::ObjectKey ViewTipsData::kObjectKeys[] = {
    {"view_data", &ViewTipsData::view_data, "LoadFromJson:no view_data found"},
    {"title_data", &ViewTipsData::title_data, "LoadFromJson:no title_data found"},
    {"logo_data", &ViewTipsData::logo_data, "LoadFromJson:no logo_data found"},
    {"main_tips_data", &ViewTipsData::main_tips_data, "LoadFromJson:no main_tips_data found"},
    {"frame_detail_data", &ViewTipsData::frame_detail_data, "LoadFromJson:no frame_detail_data found"},
    {"label_detail_data", &ViewTipsData::label_detail_data, "LoadFromJson:no label_detail_data found"},
    {"widget_button_data", &ViewTipsData::widget_button_data, "LoadFromJson:no widget_button_data found"},
};

void ViewTipsData::LoadFromString(const QString& _qstrText)
{
    const auto obj = JsonReader::ParseObject(_qstrText.toUtf8(), "JsonSource::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

QString ViewTipsData::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}

void ViewTipsData::LoadFromJson(const QJsonObject& _jsonObj)
{
    qCDebug(lcNotices) << "CommandRecordTimeBody::LoadFromJson";
    JsonReader reader(_jsonObj);
    NoticeJson::TruncatedInt(_jsonObj, "width", width, "LoadFromJson:no width found");
    NoticeJson::TruncatedInt(_jsonObj, "height", height, "LoadFromJson:no height found");
    NoticeJson::TruncatedInt(_jsonObj, "show_time", show_time, "LoadFromJson:no show_time found");
    reader.Bool("title_show", title_show, "LoadFromJson:no title_show found");
    reader.Bool("strong_stips", strong_stips, "LoadFromJson:no strong_stips found");
    reader.Bool("logo_show", logo_show, "LoadFromJson:no logo_show found");
    reader.Bool("main_tips", main_tips, "LoadFromJson:no main_tips found");
    reader.Bool("frame_detail", frame_detail, "LoadFromJson:no frame_detail found");
    reader.Bool("label_detail", label_detail, "LoadFromJson:no label_detail found");
    for (const ObjectKey& entry : kObjectKeys) {
        QJsonObject obj;
        if (reader.Object(entry.key, obj, entry.missingLog))
            (this->*entry.member).LoadFromJson(obj);
    }
    const QJsonValue buttons = _jsonObj.value(QLatin1String("list_button_data"));
    if (buttons.isArray()) {
        list_button_data.clear();
        for (const QJsonValue& item : buttons.toArray()) {
            ObjData button;
            button.LoadFromJson(item.toObject());
            list_button_data.append(button);
        }
    } else {
        qCCritical(lcNotices) << "LoadFromJson:no list_button_data found";
    }
    reader.String("view_tips_qss_path", view_tips_qss_path, "LoadFromJson:no view_tips_qss_path found");
    reader.String("view_tips_image_path", view_tips_image_path, "LoadFromJson:no view_tips_image_path found");
    reader.String("view_tips_image_replace", view_tips_image_replace,
                  "LoadFromJson:no view_tips_image_replace found");
}

QJsonObject ViewTipsData::ToJson() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("width"), width);
    obj.insert(QStringLiteral("height"), height);
    obj.insert(QStringLiteral("show_time"), show_time);
    obj.insert(QStringLiteral("strong_stips"), strong_stips);
    obj.insert(QStringLiteral("title_show"), title_show);
    obj.insert(QStringLiteral("logo_show"), logo_show);
    obj.insert(QStringLiteral("main_tips"), main_tips);
    obj.insert(QStringLiteral("frame_detail"), frame_detail);
    obj.insert(QStringLiteral("label_detail"), label_detail);
    for (const ObjectKey& entry : kObjectKeys)
        obj.insert(QLatin1String(entry.key), (this->*entry.member).ToJson());
    QJsonArray buttons;
    for (const ObjData& button : list_button_data)
        buttons.append(button.ToJson());
    obj.insert(QStringLiteral("list_button_data"), buttons);
    obj.insert(QStringLiteral("view_tips_qss_path"), view_tips_qss_path);
    obj.insert(QStringLiteral("view_tips_image_path"), view_tips_image_path);
    obj.insert(QStringLiteral("view_tips_image_replace"), view_tips_image_replace);
    return obj;
}

ViewTipsData ViewTipsData::Scaled(double _dScale) const
{
    ViewTipsData scaled = *this;
    scaled.width = ObjData::ScaledLength(width, _dScale);
    scaled.height = ObjData::ScaledLength(height, _dScale);
    for (const ObjectKey& entry : kObjectKeys)
        scaled.*entry.member = (this->*entry.member).Scaled(_dScale);
    for (ObjData& button : scaled.list_button_data)
        button = button.Scaled(_dScale);
    return scaled;
}

void ViewTipsData::Bound(const QSize& _sizeScreen)
{
    width = qBound(0, width, _sizeScreen.width());
    height = qBound(0, height, _sizeScreen.height());
    show_time = qBound(0, show_time, kMaxShowTimeSeconds);
    for (const ObjectKey& entry : kObjectKeys)
        (this->*entry.member).Bound(_sizeScreen);
    while (list_button_data.size() > kMaxButtons)
        list_button_data.removeLast();
    for (ObjData& button : list_button_data)
        button.Bound(_sizeScreen);
}

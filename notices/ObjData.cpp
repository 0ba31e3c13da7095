#include "notices/ObjData.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"
#include "notices/NoticeJson.h"

#include <QDebug>
#include <QJsonDocument>

int ObjData::ScaledLength(int _nLength, double _dScale)
{
    // Bounded first: a client's INT_MAX on a large screen must not overflow the conversion.
    return static_cast<int>(qBound<double>(INT_MIN, _nLength * _dScale, INT_MAX));
}

void ObjData::LoadFromString(const QString& _qstrText)
{
    const auto obj = JsonReader::ParseObject(_qstrText.toUtf8(), "JsonSource::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

QString ObjData::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}

void ObjData::LoadFromJson(const QJsonObject& _jsonObj)
{
    qCDebug(lcNotices) << "ObjData::LoadFromJson";
    NoticeJson::TruncatedInt(_jsonObj, "width", width, "LoadFromJson:no width found");
    NoticeJson::TruncatedInt(_jsonObj, "height", height, "LoadFromJson:no height found");
    NoticeJson::TruncatedInt(_jsonObj, "font_size", font_size, "LoadFromJson:no font_size found");
    NoticeJson::TruncatedInt(_jsonObj, "border_radius", border_radius, "LoadFromJson:no border_radius found");
    NoticeJson::TruncatedInt(_jsonObj, "margin_top", margin_top, "LoadFromJson:no margin_top found");
    NoticeJson::TruncatedInt(_jsonObj, "margin_bottom", margin_bottom, "LoadFromJson:no margin_bottom found");
    NoticeJson::TruncatedInt(_jsonObj, "margin_spacing", margin_spacing,
                             "LoadFromJson:no margin_spacing found");
    JsonReader reader(_jsonObj);
    reader.String("obj_name", obj_name, "LoadFromJson:no obj_name found");
    reader.String("show_name", show_name, "LoadFromJson:no show_name found");
}

QJsonObject ObjData::ToJson() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("width"), width);
    obj.insert(QStringLiteral("height"), height);
    obj.insert(QStringLiteral("font_size"), font_size);
    obj.insert(QStringLiteral("border_radius"), border_radius);
    obj.insert(QStringLiteral("margin_top"), margin_top);
    obj.insert(QStringLiteral("margin_bottom"), margin_bottom);
    obj.insert(QStringLiteral("margin_spacing"), margin_spacing);
    obj.insert(QStringLiteral("obj_name"), obj_name);
    obj.insert(QStringLiteral("show_name"), show_name);
    return obj;
}

ObjData ObjData::Scaled(double _dScale) const
{
    ObjData scaled = *this;
    for (int* field : {&scaled.width, &scaled.height, &scaled.font_size, &scaled.border_radius,
                       &scaled.margin_top, &scaled.margin_bottom, &scaled.margin_spacing})
        *field = ScaledLength(*field, _dScale);
    return scaled;
}

void ObjData::Bound(const QSize& _sizeScreen)
{
    const int w = _sizeScreen.width();
    const int h = _sizeScreen.height();
    width = qBound(0, width, w);
    margin_spacing = qBound(0, margin_spacing, w);
    for (int* field : {&height, &font_size, &border_radius, &margin_top, &margin_bottom})
        *field = qBound(0, *field, h);
    show_name.truncate(kMaxTextChars);
}

ObjData ObjData::Make(const char* _szName, int _nWidth, int _nHeight, int _nMarginTop, int _nFontSize,
                      const QString& _qstrShowName)
{
    ObjData obj;
    obj.obj_name = QLatin1String(_szName);
    obj.width = _nWidth;
    obj.height = _nHeight;
    obj.margin_top = _nMarginTop;
    obj.font_size = _nFontSize;
    obj.show_name = _qstrShowName;
    return obj;
}

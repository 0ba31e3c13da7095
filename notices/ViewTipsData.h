#pragma once

#include "notices/ObjData.h"

#include <QJsonObject>
#include <QList>
#include <QSize>
#include <QString>

// The description of a tips window: its size, which rows it has, their widgets, the buttons, the
// style sheet file and the auto-close time. Sizes are design pixels until Scaled.
class ViewTipsData
{
public:
    virtual ~ViewTipsData() = default;

    // More buttons than this are dropped; a row of them could not fit on any screen anyway.
    static constexpr int kMaxButtons = 32;
    // Longer display times are cut here so the time in milliseconds fits the timer.
    static constexpr int kMaxShowTimeSeconds = 24 * 3600;

    int width = 0;
    int height = 0;
    int show_time = 0; // seconds
    bool strong_stips = false;
    bool title_show = false;
    bool logo_show = false;
    bool main_tips = false;
    bool frame_detail = false;
    bool label_detail = false;
    ObjData view_data;
    ObjData title_data;
    ObjData logo_data;
    ObjData main_tips_data;
    ObjData frame_detail_data;
    ObjData label_detail_data;
    ObjData widget_button_data;
    QList<ObjData> list_button_data;
    QString view_tips_qss_path;
    QString view_tips_image_path;
    QString view_tips_image_replace;

    virtual void LoadFromString(const QString& _qstrText);
    virtual QString ToString() const;
    virtual void LoadFromJson(const QJsonObject& _jsonObj);
    virtual QJsonObject ToJson() const;

    // Every length (the window's and each widget's) times the screen scale; show_time unchanged.
    ViewTipsData Scaled(double _dScale) const;
    // Lengths within the screen, at most kMaxButtons buttons, show_time within 0 and its maximum.
    void Bound(const QSize& _sizeScreen);

private:
    struct ObjectKey
    {
        const char* key;
        ObjData ViewTipsData::*member;
        const char* missingLog;
    };
    static const ObjectKey kObjectKeys[];
};

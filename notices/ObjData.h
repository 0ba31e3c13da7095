#pragma once

#include <QJsonObject>
#include <QSize>
#include <QString>

// The description of one widget of a tips window. Sizes are design pixels until Scaled.
class ObjData
{
public:
    // Texts sit in fixed-size labels and buttons; laying out megabytes would stall the screen.
    static constexpr int kMaxTextChars = 4096;

    virtual ~ObjData() = default;
    // A widget of the service's own tips windows, in one line.
    static ObjData Make(const char* _szName, int _nWidth, int _nHeight, int _nMarginTop = 0,
                        int _nFontSize = 0, const QString& _qstrShowName = QString());

    int width = 0;
    int height = 0;
    int font_size = 0;
    int border_radius = 0;
    int margin_top = 0;
    int margin_bottom = 0; // carried in JSON; the window does not use it
    int margin_spacing = 0;
    QString obj_name;
    QString show_name;

    virtual void LoadFromString(const QString& _qstrText);
    virtual QString ToString() const;
    virtual void LoadFromJson(const QJsonObject& _jsonObj);
    virtual QJsonObject ToJson() const;

    // Every number multiplied by the screen scale, truncated toward zero.
    ObjData Scaled(double _dScale) const;
    static int ScaledLength(int _nLength, double _dScale);
    // Lengths kept between 0 and the screen's extent, so a hostile size cannot ask for a window
    // or a font larger than the screen; the text cut to kMaxTextChars.
    void Bound(const QSize& _sizeScreen);
    QSize Size() const { return QSize(width, height); }
};

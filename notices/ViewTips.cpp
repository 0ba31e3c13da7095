#include "notices/ViewTips.h"
#include "core/LogCategories.h"

#include "notices/TipsPlacement.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

QSize PrimaryScreenSize()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize();
}

QString RadiusRule(const ObjData& _objData)
{
    return QStringLiteral("#%1{ border-radius:%2px;}").arg(_objData.obj_name).arg(_objData.border_radius);
}

void SetPixelFont(QWidget* _pWidget, int _nPixelSize)
{
    QFont font = _pWidget->font();
    if (_nPixelSize > 0)
        font.setPixelSize(_nPixelSize);
    _pWidget->setFont(font);
}

} // namespace

ViewTips::ViewTips(QWidget* _pParent) : QFrame(_pParent)
{
    setWindowFlags(windowFlags() | Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("ViewTips"));
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ViewTips::SlotShowTimeout);
}

QString ViewTips::LoadStyleSheet(const QString& _qstrPath, const QString& _qstrPlaceholder,
                                 const QString& _qstrReplacement)
{
    // A FIFO or a device would block or never end; only a plain file of sane size is read.
    const QFileInfo info(_qstrPath);
    if (!info.isFile() || info.size() > kMaxStyleSheetBytes)
        return QString();
    QFile file(_qstrPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    qCDebug(lcNotices).noquote() << _qstrPath + QStringLiteral(" open!");
    QString sheet = QString::fromUtf8(file.read(kMaxStyleSheetBytes));
    if (!_qstrPlaceholder.isEmpty()) {
        // A one-letter placeholder and a long folder could multiply the text a thousandfold.
        const qint64 grown = sheet.size() + qint64(sheet.count(_qstrPlaceholder)) *
                                                (_qstrReplacement.size() - _qstrPlaceholder.size());
        if (grown > kMaxStyleSheetBytes) {
            qCWarning(lcNotices)
                << "ViewTips::LoadStyleSheet:style sheet too large after replacing, not used:" << _qstrPath;
            return QString();
        }
        sheet.replace(_qstrPlaceholder, _qstrReplacement, Qt::CaseSensitive);
    }
    qCDebug(lcNotices).noquote() << QStringLiteral("qstrViewTipsSheet == ") + sheet;
    return sheet;
}

void ViewTips::InitView(const ViewTipsData& _viewTipsData)
{
    qCCritical(lcNotices) << "ViewTips::InitView";
    const QSize screen = PrimaryScreenSize();
    ViewTipsData d = _viewTipsData.Scaled(TipsPlacement::Scale(screen.height()));
    d.Bound(screen);
    QString sheet = LoadStyleSheet(d.view_tips_qss_path, d.view_tips_image_replace, d.view_tips_image_path);

    m_pFrameMain = new QFrame(this);
    m_pFrameMain->setObjectName(d.view_data.obj_name);
    sheet += RadiusRule(d.view_data);
    m_pLayoutMain = new QVBoxLayout(m_pFrameMain);
    m_pLayoutMain->setSpacing(0);
    m_pLayoutMain->setContentsMargins(0, 0, 0, 0);
    setFixedSize(d.width, d.height);

    if (d.title_show)
        BuildTitle(d.title_data);
    if (d.logo_show) {
        m_pLabelLogo = new QLabel(m_pFrameMain);
        m_pLabelLogo->setObjectName(d.logo_data.obj_name);
        m_pLabelLogo->setFixedSize(d.logo_data.Size());
        AddCentredRow(m_pLabelLogo, d.logo_data);
    }
    if (d.main_tips) {
        m_pLabelMainTips = BuildTextLabel(m_pFrameMain, d.main_tips_data);
        m_pLabelMainTips->setAlignment(Qt::AlignCenter);
        AddCentredRow(m_pLabelMainTips, d.main_tips_data);
    }
    if (d.frame_detail) {
        BuildDetailFrame(d);
        sheet += RadiusRule(d.frame_detail_data);
    }
    if (!d.list_button_data.isEmpty())
        BuildButtons(d, sheet);
    m_pLayoutMain->addStretch();
    setStyleSheet(sheet);
    if (!d.strong_stips)
        m_timer.start(d.show_time * 1000);
}

void ViewTips::BuildTitle(const ObjData& _objData)
{
    m_pLabelTitle = new QLabel(m_pFrameMain);
    m_pLabelTitle->setObjectName(_objData.obj_name);
    m_pLabelTitle->setFixedSize(_objData.Size());
    m_pLabelTitle->move(0, 0);
}

QLabel* ViewTips::BuildTextLabel(QWidget* _pParent, const ObjData& _objData)
{
    QLabel* label = new QLabel(_pParent);
    SetPixelFont(label, _objData.font_size);
    label->setObjectName(_objData.obj_name);
    label->setText(_objData.show_name);
    label->setFixedSize(_objData.Size());
    return label;
}

void ViewTips::AddCentredRow(QWidget* _pWidget, const ObjData& _objData)
{
    QHBoxLayout* row = new QHBoxLayout;
    row->setSpacing(0);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    row->addWidget(_pWidget);
    row->addStretch();
    m_pLayoutMain->addSpacerItem(
        new QSpacerItem(0, _objData.margin_top, QSizePolicy::Minimum, QSizePolicy::Fixed));
    m_pLayoutMain->addLayout(row);
}

void ViewTips::BuildDetailFrame(const ViewTipsData& _viewTipsData)
{
    const ObjData& frameData = _viewTipsData.frame_detail_data;
    m_pFrameDetail = new QFrame(m_pFrameMain);
    m_pFrameDetail->setObjectName(frameData.obj_name);
    m_pFrameDetail->setFixedSize(frameData.Size());
    if (_viewTipsData.label_detail) {
        const ObjData& labelData = _viewTipsData.label_detail_data;
        m_pLabelDetail = BuildTextLabel(m_pFrameDetail, labelData);
        m_pLabelDetail->move((frameData.width - labelData.width) / 2,
                             (frameData.height - labelData.height) / 2);
    }
    AddCentredRow(m_pFrameDetail, frameData);
}

void ViewTips::BuildButtons(const ViewTipsData& _viewTipsData, QString& _qstrSheet)
{
    const ObjData& containerData = _viewTipsData.widget_button_data;
    m_pWidgetButton = new QWidget(m_pFrameMain);
    m_pWidgetButton->setFixedSize(containerData.Size());
    QHBoxLayout* row = new QHBoxLayout(m_pWidgetButton);
    row->setSpacing(0);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    for (const ObjData& buttonData : _viewTipsData.list_button_data) {
        QPushButton* button = new QPushButton(m_pWidgetButton);
        SetPixelFont(button, buttonData.font_size);
        button->setObjectName(buttonData.obj_name);
        button->setText(buttonData.show_name);
        button->setFixedSize(buttonData.Size());
        row->addWidget(button);
        connect(button, &QPushButton::clicked, this, &ViewTips::SlotBtnClicked);
        m_listButtons.append(button);
        row->addSpacerItem(
            new QSpacerItem(buttonData.margin_spacing, 0, QSizePolicy::Fixed, QSizePolicy::Minimum));
        _qstrSheet += RadiusRule(buttonData);
    }
    row->addStretch();
    m_pLayoutMain->addSpacerItem(
        new QSpacerItem(0, containerData.margin_top, QSizePolicy::Minimum, QSizePolicy::Fixed));
    m_pLayoutMain->addWidget(m_pWidgetButton);
}

void ViewTips::Finish(const QString& _qstrObjName)
{
    hide();
    m_timer.stop();
    emit SignBtnClicked(_qstrObjName);
    emit SignViewTipsFinished();
    deleteLater();
}

void ViewTips::SlotBtnClicked()
{
    const QObject* button = sender();
    Finish(button ? button->objectName() : QString());
}

void ViewTips::SlotShowTimeout()
{
    Finish(QStringLiteral("timeout"));
}

void ViewTips::resizeEvent(QResizeEvent* _pEvent)
{
    QFrame::resizeEvent(_pEvent);
    if (m_pFrameMain)
        m_pFrameMain->setFixedSize(size());
    move(TipsPlacement::TopLeft(PrimaryScreenSize(), size()));
}

#pragma once

#include "notices/ViewTipsData.h"

#include <QFrame>
#include <QList>
#include <QString>
#include <QTimer>

class QBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

// A frameless tips window in the bottom-right corner, built from its JSON description. It hides
// and deletes itself when one of its buttons is clicked or its display time runs out.
class ViewTips : public QFrame
{
    Q_OBJECT
public:
    // Style sheet files larger than this are not read: the path comes from a client.
    static constexpr qint64 kMaxStyleSheetBytes = 1024 * 1024;

    explicit ViewTips(QWidget* _pParent = nullptr);

    // Builds the window from a design-size description; scales it to the primary screen.
    void InitView(const ViewTipsData& _viewTipsData);
    // Hides the window, reports _qstrObjName as the reason and deletes it at the next turn.
    void Finish(const QString& _qstrObjName);
    bool IsAutoClosing() const { return m_timer.isActive(); }
    const QList<QPushButton*>& Buttons() const { return m_listButtons; }

    // The style sheet file's text with every placeholder replaced; empty when the file cannot be
    // read (missing, not a regular file, or too large, also after replacing). An empty
    // placeholder replaces nothing.
    static QString LoadStyleSheet(const QString& _qstrPath, const QString& _qstrPlaceholder,
                                  const QString& _qstrReplacement);

signals:
    void SignBtnClicked(QString _qstrObjName);
    void SignViewTipsFinished();

public slots:
    void SlotBtnClicked();
    void SlotShowTimeout();

protected:
    void resizeEvent(QResizeEvent* _pEvent) override;

private:
    // A spacer of the object's margin_top, then a centred row holding the widget.
    void AddCentredRow(QWidget* _pWidget, const ObjData& _objData);
    void BuildTitle(const ObjData& _objData);
    QLabel* BuildTextLabel(QWidget* _pParent, const ObjData& _objData);
    void BuildDetailFrame(const ViewTipsData& _viewTipsData);
    void BuildButtons(const ViewTipsData& _viewTipsData, QString& _qstrSheet);

    QTimer m_timer;
    QFrame* m_pFrameMain = nullptr;
    QVBoxLayout* m_pLayoutMain = nullptr;
    QLabel* m_pLabelTitle = nullptr;
    QLabel* m_pLabelLogo = nullptr;
    QLabel* m_pLabelMainTips = nullptr;
    QFrame* m_pFrameDetail = nullptr;
    QLabel* m_pLabelDetail = nullptr;
    QWidget* m_pWidgetButton = nullptr;
    QList<QPushButton*> m_listButtons;
};

#pragma once

#include "ThemedWidgets.h"

#include <QWidget>

class QLabel;
class QPushButton;

// The face shown before any image: an invitation to drop, paste or choose
// one, drawn as a dashed rounded box that lights up in the accent colour
// while a drag it would take hovers over the panel.
class DropZone final : public QWidget
{
    Q_OBJECT

public:
    explicit DropZone(QWidget* parent = nullptr);

    bool targeted() const { return m_targeted; }
    void setTargeted(bool targeted);
    // While an image is being read: a busy line in place of the buttons.
    void setBusy(bool busy);
    QWidget* busyLine() const { return m_busy; }

    QPushButton* chooseButton() const { return m_choose; }
    QPushButton* pasteButton() const { return m_paste; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void refreshSymbol();

    bool m_targeted = false;
    ThemedWidgets m_themed;
    QLabel* m_symbol;
    QPushButton* m_choose;
    QPushButton* m_paste;
    QWidget* m_buttons;
    QWidget* m_busy;
};

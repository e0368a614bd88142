#pragma once

#include <QColor>
#include <QColorDialog>
#include <QPointer>
#include <QToolButton>

// A colour swatch that opens a colour picker without opacity and reports
// every colour the user picks, as they pick it.
class ColorWell final : public QToolButton
{
    Q_OBJECT

public:
    explicit ColorWell(QWidget* parent = nullptr);

    QColor color() const { return m_color; }
    // Shows a colour without reporting it.
    void setColor(const QColor& color);
    // The picker, while it is open.
    QColorDialog* dialog() const { return m_dialog; }

signals:
    void colorPicked(const QColor& color);
    void pickerOpened();
    void pickerClosed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void openPicker();

    QColor m_color;
    QPointer<QColorDialog> m_dialog;
};

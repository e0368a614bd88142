#include "PanelAccessibility.h"

#include "SegmentedControl.h"

#include <QAccessibleWidget>
#include <QLabel>
#include <QSlider>
#include <mutex>
#include <vector>

// A segmented picker as screen readers see it: a group of radio buttons.
class SegmentedAccessible final : public QAccessibleWidget
{
public:
    explicit SegmentedAccessible(SegmentedControl* control)
        : QAccessibleWidget(control, QAccessible::Grouping)
    {
    }
    ~SegmentedAccessible() override
    {
        for (QAccessibleInterface* segment : m_children)
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(segment));
    }
    SegmentedControl* control() const { return static_cast<SegmentedControl*>(widget()); }
    int childCount() const override { return control()->count(); }
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QRect segmentRect(int index) const
    {
        const QRect local = control()->segmentRect(index).toAlignedRect();
        return QRect(control()->mapToGlobal(local.topLeft()), local.size());
    }

private:
    std::vector<QAccessibleInterface*> m_children;
};

namespace {

// One segment: a radio button, checked when it is the current one.
class SegmentAccessible final : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    SegmentAccessible(SegmentedAccessible* parent, int index) : m_parent(parent), m_index(index) {}

    bool isValid() const override { return m_parent->isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_parent->window(); }
    QAccessibleInterface* parent() const override { return m_parent; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QRect rect() const override { return m_parent->segmentRect(m_index); }
    QAccessible::Role role() const override { return QAccessible::RadioButton; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? m_parent->control()->label(m_index) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.checkable = true;
        s.checked = m_parent->control()->currentIndex() == m_index;
        s.disabled = !m_parent->control()->isEnabled();
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction())
            m_parent->control()->choose(m_index);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    SegmentedAccessible* m_parent;
    int m_index;
};

// The Feather slider in the panel's units: 0 to 20, in quarter steps.
class FeatherAccessible final : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit FeatherAccessible(QSlider* slider) : QAccessibleWidget(slider, QAccessible::Slider) {}
    QSlider* slider() const { return static_cast<QSlider*>(widget()); }
    double steps() const { return slider()->maximum() / 20.0; }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QVariant currentValue() const override { return slider()->value() / steps(); }
    void setCurrentValue(const QVariant& value) override
    {
        slider()->setValue(qRound(value.toDouble() * steps()));
    }
    QVariant maximumValue() const override { return 20.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return slider()->singleStep() / steps(); }
};

// The error and status lines: notifications, which screen readers read
// out when they show, by the text they show.
class MessageAccessible final : public QAccessibleWidget
{
public:
    explicit MessageAccessible(QLabel* line) : QAccessibleWidget(line, QAccessible::Notification) {}
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? static_cast<QLabel*>(widget())->text()
                                      : QAccessibleWidget::text(t);
    }
};

bool isMessageLine(const QObject* object)
{
    return object->objectName() == QLatin1String("errorLine") ||
           object->objectName() == QLatin1String("statusLine");
}

QAccessibleInterface* factory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLabel") && isMessageLine(object))
        return new MessageAccessible(static_cast<QLabel*>(object));
    if (className == QLatin1String("SegmentedControl"))
        return new SegmentedAccessible(static_cast<SegmentedControl*>(object));
    if (className == QLatin1String("QSlider") &&
        object->objectName() == QLatin1String("featherSlider"))
        return new FeatherAccessible(static_cast<QSlider*>(object));
    return nullptr;
}

} // namespace

QAccessibleInterface* SegmentedAccessible::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    // Qt's cache owns child interfaces; one per segment, made once.
    auto* self = const_cast<SegmentedAccessible*>(this);
    while (int(m_children.size()) <= index) {
        auto* made = new SegmentAccessible(self, int(m_children.size()));
        QAccessible::registerAccessibleInterface(made);
        self->m_children.push_back(made);
    }
    return m_children[size_t(index)];
}

int SegmentedAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    for (size_t i = 0; i < m_children.size(); ++i) {
        if (m_children[i] == child)
            return int(i);
    }
    return -1;
}

void PanelAccessibility::install()
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(factory); });
}

void PanelAccessibility::showMessage(QLabel* line, const std::optional<QString>& message)
{
    const bool replaced = message && !line->isHidden() && line->text() != *message;
    line->setText(message.value_or(QString()));
    // Shown from hidden, Qt announces the line itself.
    line->setVisible(message.has_value());
    if (replaced) {
        QAccessibleEvent shown(line, QAccessible::ObjectShow);
        QAccessible::updateAccessibility(&shown);
    }
}

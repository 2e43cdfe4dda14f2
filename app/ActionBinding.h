// Ties a button to an action the way the window's controls follow their actions: a change of
// the action's enabled state is taken over only when, just before the change, the control's
// own enabled state equals the action's. So a button that was disabled on its own while its
// action stayed enabled ignores the action being disabled, becomes enabled with the action's
// next enabling, and follows it from then on.
//
// Qt's own binding (QToolButton::setDefaultAction) re-applies the enabled state on every change
// of the action, text and tooltip included, which breaks the rule; this one listens to the
// enabled-change alone. A click on the control calls `execute` (not the action directly), so
// that the owner can refresh its actions first.
#pragma once

#include <QObject>
#include <functional>

class QAction;
class QAbstractButton;

namespace kvr {

class ActionBinding : public QObject {
    Q_OBJECT
public:
    ActionBinding(QAction* action, QAbstractButton* control, std::function<void()> execute,
                  QObject* parent);

private:
    void OnActionEnabledChanged(bool enabled);

    QAction* action_;
    QAbstractButton* control_;
};

}  // namespace kvr

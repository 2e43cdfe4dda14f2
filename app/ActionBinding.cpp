#include "ActionBinding.h"

#include <QAbstractButton>
#include <QAction>

namespace kvr {

ActionBinding::ActionBinding(QAction* action, QAbstractButton* control,
                             std::function<void()> execute, QObject* parent)
    : QObject(parent), action_(action), control_(control) {
    connect(action_, &QAction::enabledChanged, this, &ActionBinding::OnActionEnabledChanged);
    connect(control_, &QAbstractButton::clicked, this, [execute = std::move(execute)] {
        if (execute)
            execute();
    });
}

void ActionBinding::OnActionEnabledChanged(bool enabled) {
    // enabledChanged is emitted only on a real change, so the state just before was !enabled.
    const bool actionBefore = !enabled;
    if (control_->isEnabled() == actionBefore)
        control_->setEnabled(enabled);
}

}  // namespace kvr

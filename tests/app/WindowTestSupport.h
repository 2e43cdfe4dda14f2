// Shared pieces of the window tests: ports, modes and the window's widgets by their layout
// names (the recording prompter and the file helpers are tests/support's).
#pragma once

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QToolButton>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AppGlobals.h"
#include "FormProgFrm.h"
#include "RecordingPrompter.h"
#include "SerialPorts.h"
#include "TestFiles.h"

namespace kvr::test {

inline std::vector<SerialPortEntry> MakePorts(int count) {
    std::vector<SerialPortEntry> ports;
    for (int i = 0; i < count; ++i) {
        ports.push_back({"\\Device\\Serial" + std::to_string(i), "COM" + std::to_string(i + 1)});
    }
    return ports;
}

inline void SetModes(bool technology, bool bootAll) {
    TechnologyMode = technology;
    BootAllMode = bootAll;
}

template <typename T>
T* Find(QWidget* window, const char* name) {
    return window->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace kvr::test

// Window tests under ThreadSanitizer: Qt paints large images in stripes spread over its global
// thread pool, and Debian's Qt is not instrumented, so the pool's own bookkeeping shared by two
// of its threads (guarded by Qt locks TSan cannot see) shows up as races in every window test.
// With one pool thread the painting still leaves the test's thread, but no two pool threads
// meet. Call it before the first window is built.
#pragma once

#include <QThreadPool>

namespace kvr::test {

inline void PaintOnOnePoolThread() {
    QThreadPool::globalInstance()->setMaxThreadCount(1);
}

}  // namespace kvr::test

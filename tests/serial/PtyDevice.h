// A pseudo-terminal whose master the test holds; the slave path is the port under test.
#pragma once

#include <string>

#include "DeviceEnd.h"

namespace kvr::test {

class PtyDevice : public DeviceEnd {
public:
    PtyDevice();
    ~PtyDevice() override;
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    std::string PortName() const override { return slave_; }
    void Send(const std::string& bytes) override;
    std::string Receive(size_t max, int quietMs) override;
    void Drain() override;

    // The master also reports the slave's line settings (tcgetattr).
    int MasterFd() const { return master_; }

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace kvr::test

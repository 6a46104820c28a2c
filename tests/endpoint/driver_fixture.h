// A driver object against the simulated endpoints, its log captured in a file of its own,
// and the simulator's accounting checked once the object is gone.
#pragma once

#include "driver/ASIOSrv.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void configure() { sim::configure(render, capture); }
    // Releases the object (checking that it left nothing behind) and makes a new one.
    void recreate();
    void releaseAndCheck();
    // Log messages written since the last clearLog(), without their time stamps.
    std::vector<std::string> log();
    void clearLog() { seen_ += log().size(); }
    bool logged(const std::string& message);
    // The endpoint of a stored ID, as alignedFramesForDuration takes it (one reference).
    IUnknown* endpointDevice(int direction);
    // Sets "DefaultSizeInMS"; TearDown removes it.
    void setDefaultSize(DWORD type, const void* data, DWORD bytes);

    sim::EndpointConfig render = sim::defaultRender();
    sim::EndpointConfig capture = sim::defaultCapture();
    ASIOSrv* drv = nullptr;

  private:
    std::wstring logPath_;
    size_t seen_ = 0;
};

// The log's "%X" of a pointer.
std::string hex32(const void* p);

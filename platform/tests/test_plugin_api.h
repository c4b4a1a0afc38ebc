#pragma once
// The base class the test plug-in bundle implements.
#include <QString>

class TestGreeter {
public:
    virtual ~TestGreeter() = default;
    virtual QString greeting() const = 0;
};

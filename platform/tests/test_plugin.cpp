// Code of the test plug-in bundle: one class registered at load.
#include "platform/ClassRegistry.h"
#include "test_plugin_api.h"

class TestGreeterImpl : public TestGreeter {
public:
    QString greeting() const override { return QStringLiteral("hello from the bundle"); }
};

JUNKWARD_REGISTER_CLASS(TestGreeterImpl, TestGreeter)

#include "platform/ClassRegistry.h"

#include <gtest/gtest.h>

#include <memory>

using platform::ClassRegistry;

namespace {

struct Shape {
    virtual ~Shape() = default;
    virtual int sides() const = 0;
};
struct Triangle : Shape {
    int sides() const override { return 3; }
};
struct Square : Shape {
    int sides() const override { return 4; }
};

}  // namespace

JUNKWARD_REGISTER_CLASS(Triangle, Shape)

TEST(ClassRegistry, createsRegisteredClassesOfTheRightBaseOnly) {
    ASSERT_TRUE(ClassRegistry::contains("Triangle"));  // registered during start-up
    std::unique_ptr<Shape> t(ClassRegistry::createAs<Shape>("Triangle", "Shape"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->sides(), 3);
    EXPECT_EQ(ClassRegistry::create("Triangle", "Circle"), nullptr);
    EXPECT_EQ(ClassRegistry::create("Pentagon", "Shape"), nullptr);
    EXPECT_FALSE(ClassRegistry::contains("Pentagon"));

    // Each call makes a new object.
    std::unique_ptr<Shape> t2(ClassRegistry::createAs<Shape>("Triangle", "Shape"));
    EXPECT_NE(t.get(), t2.get());

    // A later registration of the same name replaces the earlier one.
    ClassRegistry::add("Triangle", "Shape", []() -> void* { return static_cast<Shape*>(new Square); });
    std::unique_ptr<Shape> replaced(ClassRegistry::createAs<Shape>("Triangle", "Shape"));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->sides(), 4);

    // Registrations without a name or a factory are ignored.
    ClassRegistry::add("", "Shape", []() -> void* { return nullptr; });
    ClassRegistry::add("Empty", "Shape", nullptr);
    EXPECT_FALSE(ClassRegistry::contains(""));
    EXPECT_FALSE(ClassRegistry::contains("Empty"));
}

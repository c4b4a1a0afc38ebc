# A plug-in bundle and an application bundle for the bundle tests, staged in the
# build folder only.
set(test_bundles "${CMAKE_CURRENT_BINARY_DIR}/bundles")
junkward_bundle(platform_test_plugin KIND plugin DIR "${test_bundles}" BUNDLE "TestPlugin.bundle"
  EXECUTABLE TestPlugin INFO_PLIST "${CMAKE_CURRENT_SOURCE_DIR}/data/TestPlugin-Info.plist.in"
  RESOURCES_DIR "${CMAKE_CURRENT_SOURCE_DIR}/data/TestPlugin/Resources"
  SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/test_plugin.cpp" LIBS junkward_platform Qt6::Core)
junkward_bundle(platform_test_app KIND app DIR "${test_bundles}" BUNDLE "Test App.app"
  EXECUTABLE test-app INFO_PLIST "${CMAKE_CURRENT_SOURCE_DIR}/data/TestApp-Info.plist.in"
  RESOURCES_DIR "${CMAKE_CURRENT_SOURCE_DIR}/data/TestApp/Resources"
  SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/test_app.cpp" LIBS junkward_platform Qt6::Core)
add_dependencies(platform_bundle_test platform_test_plugin platform_test_app)
target_compile_definitions(platform_bundle_test PRIVATE JUNKWARD_TEST_BUNDLES="${test_bundles}")

# Tests of the header filters and of the filtering pipeline, and the two probe
# filter plug-ins the pipeline tests load from a test-only Library (installed
# nowhere): ProbeA (category 10) and ProbeB (category 20).
set(pipeline_library "${JUNKWARD_TEST_BIN_DIR}/pipeline-library")
set(pipeline_plugins "${pipeline_library}/Application Support/Quillon/Junkward/Plugins")
set(pipeline_probes)
foreach(probe IN ITEMS "ProbeA;10" "ProbeB;20")
  list(GET probe 0 PROBE_IDENTIFIER)
  list(GET probe 1 PROBE_CATEGORY)
  junkward_bundle(pipeline_probe_${PROBE_IDENTIFIER}
    KIND plugin
    DIR "${pipeline_plugins}/${PROBE_IDENTIFIER}"
    BUNDLE Engine.bundle
    EXECUTABLE SWPipelineProbeFilter
    INFO_PLIST "${CMAKE_CURRENT_SOURCE_DIR}/pipeline_probe/Info.plist.in"
    SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/pipeline_probe/SWPipelineProbeFilter.cpp"
    LIBS junkward_kit junkward_mailparse junkward_platform junkward_platform_ipc Qt6::Core)
  list(APPEND pipeline_probes pipeline_probe_${PROBE_IDENTIFIER})
endforeach()

# The pipeline tests start the staged engine and load the probes.
add_dependencies(engine_pipeline_test junkward_engine_app ${pipeline_probes})

# Regression tests for what the fuzz targets found. They build with any
# compiler and run in the regular build: the root CMakeLists.txt includes this
# file (the fuzz targets themselves are in fuzz/CMakeLists.txt, clang only).
pf_test(fuzz_regressions_test ${CMAKE_CURRENT_LIST_DIR}/regressions_test.cpp)
target_link_libraries(fuzz_regressions_test PRIVATE containers)

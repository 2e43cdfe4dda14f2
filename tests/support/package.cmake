# Package builder for tests, the demo and the simulated device (the product never writes one).
add_library(kvr_test_package_builder STATIC
    ${CMAKE_CURRENT_LIST_DIR}/PackageBuilder.h
    ${CMAKE_CURRENT_LIST_DIR}/PackageBuilder.cpp
)
target_include_directories(kvr_test_package_builder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kvr_test_package_builder PUBLIC Qt6::Core)

add_executable(kvr-mkpackage ${CMAKE_CURRENT_LIST_DIR}/MkPackageMain.cpp)
target_link_libraries(kvr-mkpackage PRIVATE kvr_test_package_builder Qt6::Core)

# Heap high-water mark for memory tests and benchmarks (replaces malloc; glibc, no sanitizers).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT KVR_ASAN AND NOT KVR_TSAN)
    add_library(kvr_test_heap_counter STATIC
        ${CMAKE_CURRENT_LIST_DIR}/HeapCounter.h
        ${CMAKE_CURRENT_LIST_DIR}/HeapCounter.cpp
    )
    target_include_directories(kvr_test_heap_counter PUBLIC ${CMAKE_CURRENT_LIST_DIR})
endif()

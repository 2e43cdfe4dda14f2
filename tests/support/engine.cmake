# Fakes for the engine's seams: a clock whose sleeps advance virtual time, a scripted channel
# that keeps the port's read time-out rules against that clock, a channel that fails after N
# bytes, a scripted device and a recording run host.
add_library(kvr_test_fakes STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FakeClock.h ${CMAKE_CURRENT_LIST_DIR}/FakeClock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeChannel.h ${CMAKE_CURRENT_LIST_DIR}/FakeChannel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeDevice.h ${CMAKE_CURRENT_LIST_DIR}/FakeDevice.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestRunHost.h ${CMAKE_CURRENT_LIST_DIR}/TestRunHost.cpp
)
target_include_directories(kvr_test_fakes PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kvr_test_fakes PUBLIC kvr_engine kvr_package Qt6::Core)

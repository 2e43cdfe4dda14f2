# Pieces of the engine's tests: channels that wrap another (a cable pulled after N bytes, a
# counter of the bytes before every write, a factory forwarding to a channel the test owns),
# pages, the simulated line and a recording run host. The simulated device, its channel and the
# virtual clock are kvr_devsim's.
add_library(kvr_test_fakes STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TestChannels.h ${CMAKE_CURRENT_LIST_DIR}/TestChannels.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestPages.h ${CMAKE_CURRENT_LIST_DIR}/TestPages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestRunHost.h ${CMAKE_CURRENT_LIST_DIR}/TestRunHost.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimulatedLine.h ${CMAKE_CURRENT_LIST_DIR}/TestFiles.h
)
target_include_directories(kvr_test_fakes PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kvr_test_fakes PUBLIC kvr_devsim kvr_engine kvr_package Qt6::Core)

# main() with a QCoreApplication, for tests whose runs hand calls to the main thread.
add_library(kvr_test_qt_main OBJECT ${CMAKE_CURRENT_LIST_DIR}/QtGTestMain.cpp)
target_link_libraries(kvr_test_qt_main PUBLIC GTest::gtest Qt6::Core)

# A TCP relay that forwards, black-holes or cuts: the record's tests of a network that fails.
if(NOT WIN32)
    find_package(Threads REQUIRED)
    add_library(kvr_test_relay STATIC
        ${CMAKE_CURRENT_LIST_DIR}/TcpRelay.h ${CMAKE_CURRENT_LIST_DIR}/TcpRelay.cpp)
    target_include_directories(kvr_test_relay PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(kvr_test_relay PUBLIC Threads::Threads)
endif()

# Recorded station runs (docs/station.md, "Recorded station runs"): the station
# core replays every capture of tests/station/runs and must do exactly what the
# run's expected file says; de30_record_run records them again from their
# scenarios on the simulated station.
find_package(tomlplusplus REQUIRED)
add_library(de30_recorded_runs STATIC
  station/recorded_run.cpp
  station/run_channel.cpp
  station/run_output.cpp
  station/run_scenario.cpp
  station/toml_table_reader.cpp
)
target_include_directories(de30_recorded_runs PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(de30_recorded_runs
  PUBLIC de30_station de30_sim de30_capture
  PRIVATE tomlplusplus::tomlplusplus)
de30_warnings(de30_recorded_runs)

set(de30_runs_dir ${CMAKE_CURRENT_SOURCE_DIR}/station/runs)
de30_test(recorded_run_tests PREFIX station. station/recorded_run_test.cpp)
target_link_libraries(recorded_run_tests PRIVATE de30_recorded_runs)
target_compile_definitions(recorded_run_tests PRIVATE DE30_RUNS_DIR="${de30_runs_dir}")

add_executable(de30_record_run station/record_run_main.cpp)
target_link_libraries(de30_record_run PRIVATE de30_recorded_runs)
target_compile_definitions(de30_record_run PRIVATE DE30_RUNS_DIR="${de30_runs_dir}")
de30_warnings(de30_record_run)

# The fuzz targets and their sources, shared by the fuzz preset (CMakeLists.txt) and the
# replay of their inputs in the normal presets (replay.cmake).
set(NVS_FUZZ_TARGETS sampling_packet fpga_report json_reader waveform_file convert_table transport handshake
                     stored_records ppg_module standalone notifications)
# The targets that reach the library over a port (the emulator or a bare pseudo-terminal).
set(NVS_FUZZ_LINK_TARGETS transport handshake stored_records ppg_module standalone notifications)
set(fuzz_sources_sampling_packet SamplingPacketFuzz.cpp)
set(fuzz_sources_fpga_report FpgaReportFuzz.cpp)
set(fuzz_sources_json_reader JsonReaderFuzz.cpp)
set(fuzz_sources_waveform_file WaveformFileFuzz.cpp)
set(fuzz_sources_convert_table ConvertTableFuzz.cpp)
set(fuzz_sources_transport TransportFuzz.cpp)
set(fuzz_sources_handshake HandshakeFuzz.cpp)
set(fuzz_sources_stored_records StoredRecordsFuzz.cpp)
set(fuzz_sources_ppg_module PpgModuleFuzz.cpp)
set(fuzz_sources_standalone StandaloneFuzz.cpp)
set(fuzz_sources_notifications NotificationsFuzz.cpp)
foreach(target ${NVS_FUZZ_TARGETS})
  list(TRANSFORM fuzz_sources_${target} PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
endforeach()

# The scripted instrument and the port fixtures of the link targets: the emulator, the
# sandboxed device folder, the reset of the library's globals.
function(nvs_fuzz_support_library name)
  set(support ${PROJECT_SOURCE_DIR}/tests/support)
  add_library(${name} STATIC ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/FuzzLink.cpp ${support}/LinkSandbox.cpp
                             ${support}/ProtocolState.cpp)
  target_include_directories(${name} PUBLIC ${support} ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_link_libraries(${name} PUBLIC nvs_core nvs_emulator)
  target_compile_definitions(${name} PUBLIC NVS_DEVICE_SEAM_HEADER="platform/linux/DeviceSeam.h"
                                            NVS_TEST_NODE_NAME="ttyACM" NVS_TEST_LINUX_PLATFORM=1)
endfunction()

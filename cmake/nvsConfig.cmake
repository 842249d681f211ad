# find_package(nvs): the installed device library as the imported target nvs::nvs
# (libnvs-<arch>.so, with the folder of nvs300.h on its include path).
include(${CMAKE_CURRENT_LIST_DIR}/nvsTargets.cmake)

# CMake package file of libvesknet: find_package(vesknet) defines the imported
# target vesknet::vesknet (the shared library and the directory of vesknet.h).
include("${CMAKE_CURRENT_LIST_DIR}/vesknetTargets.cmake")

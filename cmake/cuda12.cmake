# The cuda12 backend's toolchain: CUDA 12 from the package index (runtime, cuBLAS, ptxas, libdevice),
# laid out as a toolkit root in the build folder by scripts/cuda12_root.py, compiled by clang.
# Included before enable_language(CUDA); docs/design.md says why it is put together this way.

set(KORVANE_CUDA12_PACKAGES "" CACHE PATH
    "Folder holding nvidia/cuda_runtime, nvidia/cublas and nvidia/cuda_nvcc (scripts/cuda12_root.py packages); \
empty: those installed for the build's Python (pip's build environment)")
set(KORVANE_CUDA12_ROOT "${CMAKE_BINARY_DIR}/cuda12-root")
# clang packages its cubins with a CUDA toolkit's fatbinary (any release that takes --image3).
find_program(KORVANE_FATBINARY fatbinary HINTS "$ENV{CUDA_HOME}/bin" /usr/local/cuda/bin)
set(_root_arguments assemble "${KORVANE_CUDA12_ROOT}")
if(KORVANE_CUDA12_PACKAGES)
  list(APPEND _root_arguments --packages "${KORVANE_CUDA12_PACKAGES}")
endif()
if(KORVANE_FATBINARY)
  list(APPEND _root_arguments --fatbinary "${KORVANE_FATBINARY}")
endif()
execute_process(COMMAND "${Python_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/scripts/cuda12_root.py" ${_root_arguments}
                RESULT_VARIABLE _root_status OUTPUT_QUIET)
if(NOT _root_status EQUAL 0)
  message(FATAL_ERROR "could not lay out the CUDA 12 root (scripts/cuda12_root.py, above)")
endif()

if(NOT CMAKE_CUDA_COMPILER)
  find_program(KORVANE_CLANG NAMES clang++-22)
  if(NOT KORVANE_CLANG)
    message(FATAL_ERROR "the cuda12 backend compiles with clang++-22 (Debian: apt-get install clang-22, as "
                        "scripts/install_deps.sh does), or the clang given as CMAKE_CUDA_COMPILER")
  endif()
  set(CMAKE_CUDA_COMPILER "${KORVANE_CLANG}")
endif()
# CMake looks for the toolkit's nvcc here first, ahead of PATH and CUDA_HOME (which may name CUDA 13).
set(CUDAToolkit_ROOT "${KORVANE_CUDA12_ROOT}")

# The shared CUDA 12 runtime, linked as CUDA::cudart, and nothing CMake adds on its own.
set(CMAKE_CUDA_RUNTIME_LIBRARY None)
# Installed by pip, the modules sit at the top of site-packages, beside the nvidia/ folder where the
# runtime and cuBLAS wheels they depend on put their libraries.
set(CMAKE_INSTALL_RPATH "$ORIGIN/nvidia/cuda_runtime/lib;$ORIGIN/nvidia/cublas/lib")
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH OFF)

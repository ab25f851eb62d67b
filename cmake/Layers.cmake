# Layer targets. A layer is one top-level folder of the product compiled into an OBJECT library
# aztable_<folder>. No layer gets the repository root as an include path: each gets a folder in
# the build tree that holds one symlink named after its own folder, and receives the folders of
# the layers below it through PUBLIC propagation. A header of a higher or sibling layer therefore
# does not resolve, and the build fails where such an include is written.
#
#   azt_add_layer(<folder> [BELOW <lower folder>...])
#
# Every layer also gets layering probes (see tests/CMakeLists.txt): one translation unit per
# forbidden layer that includes one of its headers and must fail to compile, and one that
# includes the layer's own header and must compile.

set(AZT_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layer-include)
set(AZT_PROBE_ROOT ${CMAKE_BINARY_DIR}/layer-probes)
set_property(GLOBAL PROPERTY AZT_LAYERS "")
set_property(GLOBAL PROPERTY AZT_LAYER_PROBES "")

function(azt_add_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "BELOW")
  set(include_dir ${AZT_LAYER_INCLUDE_ROOT}/${folder})
  file(MAKE_DIRECTORY ${include_dir})
  file(REMOVE ${include_dir}/${folder})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${include_dir}/${folder} SYMBOLIC)

  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  add_library(aztable_${folder} OBJECT ${sources})
  target_include_directories(aztable_${folder} PUBLIC $<BUILD_INTERFACE:${include_dir}>)
  target_compile_definitions(aztable_${folder} PRIVATE AZT_BUILDING_LIBRARY)
  set(below)
  foreach(lower ${LAYER_BELOW})
    if(NOT TARGET aztable_${lower})
      message(FATAL_ERROR "layer ${folder}: the layer below it, ${lower}, must be added first")
    endif()
    list(APPEND below aztable_${lower})
  endforeach()
  target_link_libraries(aztable_${folder} PUBLIC ${below})

  # Everything this layer may see: itself and, transitively, the layers below.
  set(visible ${folder})
  foreach(lower ${LAYER_BELOW})
    get_property(lower_visible GLOBAL PROPERTY AZT_LAYER_VISIBLE_${lower})
    list(APPEND visible ${lower_visible})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY AZT_LAYER_VISIBLE_${folder} ${visible})
  set_property(GLOBAL APPEND PROPERTY AZT_LAYERS ${folder})
endfunction()

# The first header (in sorted order) of a layer's folder, relative to the repository root.
function(azt_layer_sample_header folder out)
  file(GLOB_RECURSE headers RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  list(SORT headers)
  list(GET headers 0 first)
  set(${out} ${first} PARENT_SCOPE)
endfunction()

# Defines one EXCLUDE_FROM_ALL probe target per (layer, other layer) pair and per layer (the
# control) and returns their descriptions as "target|expect|header" entries, where expect is
# "pass" or "fail". The probe links the real layer target, so it sees exactly what the layer's
# own sources see. `extra` names folders above every layer (the controller) that no layer may
# include either.
function(azt_add_layer_probes out)
  get_property(layers GLOBAL PROPERTY AZT_LAYERS)
  set(entries)
  foreach(layer ${layers})
    get_property(visible GLOBAL PROPERTY AZT_LAYER_VISIBLE_${layer})
    foreach(other ${layers} ${ARGN})
      if(other STREQUAL layer)
        set(expect pass)
      elseif(other IN_LIST visible)
        continue()
      else()
        set(expect fail)
      endif()
      azt_layer_sample_header(${other} header)
      string(MAKE_C_IDENTIFIER "${layer}_includes_${other}" probe_name)
      set(probe_target azt_probe_${probe_name})
      set(probe_source ${AZT_PROBE_ROOT}/${probe_name}.cpp)
      file(CONFIGURE OUTPUT ${probe_source}
        CONTENT "// Layering probe: ${layer}/ includes a header of ${other}/ (expected to ${expect}).\n#include \"${header}\"\n")
      add_library(${probe_target} OBJECT EXCLUDE_FROM_ALL ${probe_source})
      target_link_libraries(${probe_target} PRIVATE aztable_${layer})
      list(APPEND entries "${probe_target}|${expect}|${header}")
    endforeach()
  endforeach()
  set(${out} ${entries} PARENT_SCOPE)
endfunction()

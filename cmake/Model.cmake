# The object detector the `semantic` action classifies with. scripts/setup.sh
# fetches it (scripts/fetch-model.sh) into the user's cache; the build
# converts it with our own tool into the GraphDef file the bridge loads from
# beside its executable. Without the fetched files the build still succeeds
# and the action reports every item as failed.
if(DEFINED ENV{VELMORA_MODEL_CACHE})
  set(_velmora_model_cache "$ENV{VELMORA_MODEL_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_velmora_model_cache "$ENV{XDG_CACHE_HOME}/velmora-bridge")
else()
  set(_velmora_model_cache "$ENV{HOME}/.cache/velmora-bridge")
endif()
set(VELMORA_MODEL_SOURCE "${_velmora_model_cache}/models/centernet.json" CACHE FILEPATH
    "TensorFlow.js detector model the build converts (weights beside it)")
set(VELMORA_MODEL_FILE "${CMAKE_BINARY_DIR}/velmora-bridge-objects.pb")

add_executable(velmora-convert-model tools/convert_model.cpp)
target_link_libraries(velmora-convert-model PRIVATE velmora velmora_warnings)

get_filename_component(_velmora_model_dir "${VELMORA_MODEL_SOURCE}" DIRECTORY)
if(EXISTS "${VELMORA_MODEL_SOURCE}" AND EXISTS "${_velmora_model_dir}/centernet.bin")
  add_custom_command(
    OUTPUT "${VELMORA_MODEL_FILE}"
    COMMAND velmora-convert-model "${VELMORA_MODEL_SOURCE}" "${VELMORA_MODEL_FILE}"
    DEPENDS velmora-convert-model "${VELMORA_MODEL_SOURCE}" "${_velmora_model_dir}/centernet.bin"
    COMMENT "Converting the object detector model"
    VERBATIM)
  add_custom_target(velmora-model ALL DEPENDS "${VELMORA_MODEL_FILE}")
  add_dependencies(velmora-bridge velmora-model)
  install(FILES "${VELMORA_MODEL_FILE}" DESTINATION bin)
else()
  message(STATUS "Object detector model not found at ${VELMORA_MODEL_SOURCE}: "
                 "run scripts/setup.sh; `semantic` fails every item without it")
endif()

# Tests and benchmarks find the source model here (and the converted one
# beside the bridge).
add_compile_definitions(VELMORA_MODEL_SOURCE="${VELMORA_MODEL_SOURCE}")

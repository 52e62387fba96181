# The bundle: a loadable library inside a bundle directory that also holds its Info.plist, the
# settings plist and the images. The Settings application loads it; the tests link it directly.
file(GLOB BUNDLE_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/data/*.cpp
    ${PROJECT_SOURCE_DIR}/root/*.cpp
    ${PROJECT_SOURCE_DIR}/pages/*.cpp
    ${PROJECT_SOURCE_DIR}/report/*.cpp)
set(BYTARN_BUNDLE_DIR ${BYTARN_BUILD_BUNDLES_DIR}/${BYTARN_BUNDLE_NAME})
add_library(Bytarn SHARED ${BUNDLE_SOURCES})
target_include_directories(Bytarn PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(Bytarn PUBLIC bytarn_host
    PRIVATE bytarn_constants SQLite::SQLite3 CLI11::CLI11 nlohmann_json::nlohmann_json)
set_target_properties(Bytarn PROPERTIES
    PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${BYTARN_BUNDLE_DIR}
    # <private libdir>/bundles/Bytarn.bundle/Bytarn.so finds libbytarnhost.so two levels up.
    INSTALL_RPATH "$ORIGIN/../..")

file(GLOB BUNDLE_RESOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/resources/*.plist
    ${PROJECT_SOURCE_DIR}/resources/*.png)
set(copied_resources)
foreach(resource ${BUNDLE_RESOURCES})
    get_filename_component(file_name ${resource} NAME)
    add_custom_command(OUTPUT ${BYTARN_BUNDLE_DIR}/${file_name}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${resource} ${BYTARN_BUNDLE_DIR}/${file_name}
        DEPENDS ${resource})
    list(APPEND copied_resources ${BYTARN_BUNDLE_DIR}/${file_name})
endforeach()
add_custom_target(bytarn_bundle_resources ALL DEPENDS ${copied_resources})
add_dependencies(Bytarn bytarn_bundle_resources)

install(TARGETS Bytarn LIBRARY DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${BYTARN_BUNDLE_NAME})
install(FILES ${BUNDLE_RESOURCES} DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${BYTARN_BUNDLE_NAME})

# The Data plan bundle, built the same way beside it: its page and choice list in dataplan/, its
# Info.plist, settings plist and icon in dataplan/resources/.
set(DATAPLAN_BUNDLE_NAME "DataPlan.bundle")
set(DATAPLAN_BUNDLE_DIR ${BYTARN_BUILD_BUNDLES_DIR}/${DATAPLAN_BUNDLE_NAME})
file(GLOB DATAPLAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dataplan/*.cpp)
add_library(DataPlan SHARED ${DATAPLAN_SOURCES})
target_include_directories(DataPlan PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(DataPlan PUBLIC bytarn_host PRIVATE bytarn_constants)
set_target_properties(DataPlan PROPERTIES
    PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${DATAPLAN_BUNDLE_DIR}
    INSTALL_RPATH "$ORIGIN/../..")

file(GLOB DATAPLAN_RESOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/dataplan/resources/*.plist
    ${PROJECT_SOURCE_DIR}/dataplan/resources/*.png)
set(copied_dataplan_resources)
foreach(resource ${DATAPLAN_RESOURCES})
    get_filename_component(file_name ${resource} NAME)
    add_custom_command(OUTPUT ${DATAPLAN_BUNDLE_DIR}/${file_name}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${resource} ${DATAPLAN_BUNDLE_DIR}/${file_name}
        DEPENDS ${resource})
    list(APPEND copied_dataplan_resources ${DATAPLAN_BUNDLE_DIR}/${file_name})
endforeach()
add_custom_target(dataplan_bundle_resources ALL DEPENDS ${copied_dataplan_resources})
add_dependencies(DataPlan dataplan_bundle_resources)

install(TARGETS DataPlan LIBRARY DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${DATAPLAN_BUNDLE_NAME})
install(FILES ${DATAPLAN_RESOURCES} DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${DATAPLAN_BUNDLE_NAME})

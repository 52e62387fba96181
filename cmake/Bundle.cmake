# A settings bundle: a loadable library inside a bundle directory that also holds its Info.plist,
# its settings plist and its images. The Settings application loads it; the tests link it directly.
# bytarn_add_bundle(TARGET BUNDLE RESOURCES_DIR SOURCE_DIRS...) builds TARGET as BUNDLE/TARGET.so
# from the .cpp files of SOURCE_DIRS, with the .plist and .png files of RESOURCES_DIR copied beside
# it by the target TARGET_resources, and installs both under the bundles directory.
function(bytarn_add_bundle target bundle resources_dir)
    set(sources)
    foreach(source_dir ${ARGN})
        file(GLOB dir_sources CONFIGURE_DEPENDS ${source_dir}/*.cpp)
        list(APPEND sources ${dir_sources})
    endforeach()
    set(bundle_dir ${BYTARN_BUILD_BUNDLES_DIR}/${bundle})
    add_library(${target} SHARED ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC bytarn_host PRIVATE bytarn_constants)
    set_target_properties(${target} PROPERTIES
        PREFIX "" SUFFIX ".so"
        LIBRARY_OUTPUT_DIRECTORY ${bundle_dir}
        # <private libdir>/bundles/X.bundle/X.so finds libbytarnhost.so two levels up.
        INSTALL_RPATH "$ORIGIN/../..")

    file(GLOB resources CONFIGURE_DEPENDS ${resources_dir}/*.plist ${resources_dir}/*.png)
    set(copied)
    foreach(resource ${resources})
        get_filename_component(file_name ${resource} NAME)
        add_custom_command(OUTPUT ${bundle_dir}/${file_name}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${resource} ${bundle_dir}/${file_name}
            DEPENDS ${resource})
        list(APPEND copied ${bundle_dir}/${file_name})
    endforeach()
    add_custom_target(${target}_resources ALL DEPENDS ${copied})
    add_dependencies(${target} ${target}_resources)

    install(TARGETS ${target} LIBRARY DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${bundle})
    install(FILES ${resources} DESTINATION ${BYTARN_INSTALL_BUNDLES_DIR}/${bundle})
endfunction()

# The Bytarn bundle: usage data, the root and detail pages, and the report and plan commands.
bytarn_add_bundle(Bytarn ${BYTARN_BUNDLE_NAME} ${PROJECT_SOURCE_DIR}/resources
    ${PROJECT_SOURCE_DIR}/data ${PROJECT_SOURCE_DIR}/root ${PROJECT_SOURCE_DIR}/pages
    ${PROJECT_SOURCE_DIR}/report)
target_link_libraries(Bytarn
    PRIVATE SQLite::SQLite3 CLI11::CLI11 nlohmann_json::nlohmann_json)

# The Data plan bundle: its page and choice lists.
bytarn_add_bundle(DataPlan "DataPlan.bundle" ${PROJECT_SOURCE_DIR}/dataplan/resources
    ${PROJECT_SOURCE_DIR}/dataplan)

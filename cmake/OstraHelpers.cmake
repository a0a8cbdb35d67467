# Warnings for our own code.
function(ostra_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

set(OSTRA_MODULES "" CACHE INTERNAL "")

# ostra_module(<folder> DEPS <libs...> [EXCLUDE <files...>])
# Builds ostra_<folder> from every source below <folder>/ (a folder without sources yet makes no target).
function(ostra_module name)
    cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS
        "${CMAKE_SOURCE_DIR}/${name}/*.cpp" "${CMAKE_SOURCE_DIR}/${name}/*.h")
    foreach(ex ${ARG_EXCLUDE})
        list(FILTER sources EXCLUDE REGEX "/${name}/${ex}$")
    endforeach()
    set(has_cpp FALSE)
    foreach(s ${sources})
        if(s MATCHES "\\.cpp$")
            set(has_cpp TRUE)
        endif()
    endforeach()
    if(has_cpp)
        add_library(ostra_${name} STATIC ${sources})
        set(deps "")
        foreach(d ${ARG_DEPS})
            if(TARGET ${d} OR NOT d MATCHES "^ostra_")
                list(APPEND deps ${d})
            endif()
        endforeach()
        target_link_libraries(ostra_${name} PUBLIC ${deps})
        target_include_directories(ostra_${name} PUBLIC ${CMAKE_SOURCE_DIR})
        ostra_warnings(ostra_${name})
        set(OSTRA_MODULES ${OSTRA_MODULES} ostra_${name} CACHE INTERNAL "")
    endif()
endfunction()

# ostra_tests(<folder> LIBS <libs...> [LABELS <labels...>])
# One test executable per tests/<folder>/tst_*.cpp, with the shared support files.
# Under ThreadSanitizer a test program (or a helper process of one) is told the order Qt's
# locks and queued calls make (see tests/sanitizer).
function(ostra_tsan_hooks target)
    if(TARGET ostra_tsan_qtsync)
        target_link_libraries(${target} PRIVATE ostra_tsan_qtsync)
    endif()
endfunction()

function(ostra_tests folder)
    cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp")
    foreach(t ${tests})
        get_filename_component(tname ${t} NAME_WE)
        set(target ${folder}_${tname})
        add_executable(${target} ${t})
        target_link_libraries(${target} PRIVATE ${ARG_LIBS})
        ostra_tsan_hooks(${target})
        target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
        ostra_warnings(${target})
        # Test programs keep their symbols but not the libraries' debug information, which
        # would otherwise be copied into every one of them (set OSTRA_TEST_DEBUGINFO to keep it).
        if(NOT OSTRA_TEST_DEBUGINFO AND NOT OSTRA_SANITIZE AND NOT OSTRA_TSAN)
            target_link_options(${target} PRIVATE -Wl,--strip-debug)
        endif()
        add_test(NAME ${folder}/${tname} COMMAND ${target})
        set_tests_properties(${folder}/${tname} PROPERTIES
            LABELS "${folder};${ARG_LABELS}"
            ENVIRONMENT "OSTRA_SOURCE_DIR=${CMAKE_SOURCE_DIR};OSTRA_BINARY_DIR=${CMAKE_BINARY_DIR}")
        # Tests that make their window the active one share the display's keyboard focus
        # with every other such test on it: they take turns, or one steals the other's.
        file(STRINGS ${t} activates REGEX "activateWindow|requestActivate|qWaitForWindowActive")
        if(activates)
            set_tests_properties(${folder}/${tname} PROPERTIES RESOURCE_LOCK window_focus)
        endif()
    endforeach()
endfunction()

# Installs the build into a scratch prefix and checks what lands there: the
# program, a udev rule that grants the seat user 1a86:5512 early enough for
# uaccess to act, a desktop entry whose command and icon exist and the AppStream
# metadata that names it.
# Arguments: BUILD_DIR, STAGE (a scratch DESTDIR), RULES_DIR (as configured).
# Installed with prefix /usr under DESTDIR, so that an absolute rules
# directory such as /etc/udev/rules.d also stays inside the scratch tree.
file(REMOVE_RECURSE "${STAGE}")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${STAGE}"
        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
    RESULT_VARIABLE result OUTPUT_QUIET)
set(PREFIX "${STAGE}/usr")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

function(require_file path)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endfunction()

function(require_text path pattern)
    file(READ "${PREFIX}/${path}" text)
    if(NOT text MATCHES "${pattern}")
        message(FATAL_ERROR "${path} lacks ${pattern}")
    endif()
endfunction()

require_file(bin/varnock-spi-flasher)

# uaccess only acts in rules that run before 73-seat-late.rules.
if(IS_ABSOLUTE "${RULES_DIR}")
    set(rule "${STAGE}${RULES_DIR}/70-varnock-ch341a.rules")
else()
    set(rule "${PREFIX}/${RULES_DIR}/70-varnock-ch341a.rules")
endif()
if(NOT EXISTS "${rule}")
    message(FATAL_ERROR "not installed: ${rule}")
endif()
# One rule per programmer: the CH341A, the CH347T and the CH347F.
file(STRINGS "${rule}" rules REGEX "^[^#]")
list(LENGTH rules ruleCount)
if(NOT ruleCount EQUAL 3)
    message(FATAL_ERROR "expected three rules, found ${ruleCount}")
endif()
foreach(product 5512 55db 55de)
    list(GET rules 0 line)
    list(REMOVE_AT rules 0)
    foreach(part [[SUBSYSTEM=="usb"]] [[ATTRS{idVendor}=="1a86"]]
            "ATTRS{idProduct}==\"${product}\"" [[TAG+="uaccess"]])
        string(FIND "${line}" "${part}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "the rule for ${product} lacks ${part}")
        endif()
    endforeach()
endforeach()

set(entry share/applications/varnock-spi-flasher.desktop)
require_file(${entry})
require_text(${entry} "^\\[Desktop Entry\\]\n")
require_text(${entry} "\nType=Application\n")
require_text(${entry} "\nName=Varnock SPI Flasher\n")
require_text(${entry} "\nExec=varnock-spi-flasher\n")
require_text(${entry} "\nIcon=varnock-spi-flasher\n")
require_text(${entry} "\nCategories=[^\n]*;\n")
require_text(${entry} "\nComment=[^\n]* CH341A or CH347 [^\n]*\n")
set(metainfo share/metainfo/com.varnock.spi_flasher.metainfo.xml)
require_file(${metainfo})
require_text(${metainfo}
    "<launchable type=\"desktop-id\">varnock-spi-flasher.desktop</launchable>")
require_file(share/icons/hicolor/scalable/apps/varnock-spi-flasher.svg)
require_text(share/icons/hicolor/scalable/apps/varnock-spi-flasher.svg
    "<svg [^>]*viewBox=\"0 0 128 128\"")
message(STATUS "installed layout is complete")

# The manual pages (section 1) of the console and the tools, made by help2man
# from each program's own --help and --version, so they say what the program
# says; compressed as Debian wants them.
find_program(HELP2MAN help2man REQUIRED)
set(manual_page_names
    "tunaris-console\;console that remote-controls an audio player over a serial port"
    "tunaris-send\;send commands to an audio player over a serial port"
    "tunaris-monitor\;show the command frames that arrive on a serial port"
    "tunaris-bridge\;take an audio player's commands from the network, a broker or phones")
set(manual_pages)
foreach(entry IN LISTS manual_page_names)
    list(GET entry 0 program)
    list(GET entry 1 name)
    add_custom_command(OUTPUT ${program}.1.gz
        COMMAND ${HELP2MAN} --no-info --section=1 --name=${name} --output=${program}.1 $<TARGET_FILE:${program}>
        COMMAND gzip -9nf ${program}.1
        DEPENDS ${program}
        COMMENT "Manual page of ${program}"
        VERBATIM)
    list(APPEND manual_pages ${CMAKE_CURRENT_BINARY_DIR}/${program}.1.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Completion of the tools' options, commands and ports in bash, one script
# for the three, found by each command's name.
foreach(program tunaris-send tunaris-monitor tunaris-bridge)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/tunaris.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()

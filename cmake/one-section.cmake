# The product's layout: its code, its constant data and its import table in one read-only
# section, beside the resources and the relocations. Each section of a PE file is padded to
# 512 bytes in the file, and with three sections the headers fit in their first 512 bytes
# too: together about 1 KB less than the linker's own layout of five. The import table
# needs no writable section: the loader opens the import address table for writing while
# it binds it (the table's own directory entry says where it is) and closes it again.
#
# The linker script is the linker's own default, taken from the linker this build uses and
# changed in two places: the constant data and the import table move to the end of .text.
# The linker finds the import table by the symbols ".idata$2" to ".idata$6" when no section
# of that name exists, so the script defines them, as addresses relative to the image.
# Without the linker's default script to change, the linker's own layout is kept.
set(DISMORA_LINKER_SCRIPT "")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=ld OUTPUT_VARIABLE dismora_ld
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${dismora_ld} --verbose OUTPUT_VARIABLE dismora_ld_verbose RESULT_VARIABLE dismora_ld_result)

function(dismora_cut text begin end out_text out_cut)
    string(FIND "${text}" "${begin}" from)
    string(FIND "${text}" "${end}" to)
    if(from EQUAL -1 OR to EQUAL -1 OR to LESS from)
        set(${out_cut} "" PARENT_SCOPE)
        return()
    endif()
    math(EXPR length "${to} - ${from}")
    string(SUBSTRING "${text}" ${from} ${length} cut)
    string(SUBSTRING "${text}" 0 ${from} head)
    string(SUBSTRING "${text}" ${to} -1 tail)
    set(${out_text} "${head}${tail}" PARENT_SCOPE)
    set(${out_cut} "${cut}" PARENT_SCOPE)
endfunction()

set(dismora_marker "==================================================")
string(FIND "${dismora_ld_verbose}" "${dismora_marker}" dismora_first)
string(FIND "${dismora_ld_verbose}" "${dismora_marker}" dismora_last REVERSE)
if(dismora_ld_result EQUAL 0 AND dismora_first GREATER -1 AND dismora_last GREATER dismora_first)
    math(EXPR dismora_first "${dismora_first} + 50")
    math(EXPR dismora_length "${dismora_last} - ${dismora_first}")
    string(SUBSTRING "${dismora_ld_verbose}" ${dismora_first} ${dismora_length} dismora_script)
    dismora_cut("${dismora_script}" "  .rdata BLOCK(__section_alignment__) :" "  __rt_psrelocs_size" dismora_script dismora_rdata)
    dismora_cut("${dismora_script}" "  .idata BLOCK(__section_alignment__) :" "  .CRT BLOCK" dismora_script dismora_idata)
    set(dismora_anchor "     KEEP (*(.gcc_except_table))\n")
    string(FIND "${dismora_script}" "${dismora_anchor}" dismora_at)
    string(FIND "${dismora_rdata}" "{" dismora_open)
    string(FIND "${dismora_rdata}" "}" dismora_close REVERSE)
    if(dismora_rdata AND dismora_idata AND dismora_at GREATER -1 AND dismora_open GREATER -1)
        math(EXPR dismora_open "${dismora_open} + 1")
        math(EXPR dismora_length "${dismora_close} - ${dismora_open}")
        string(SUBSTRING "${dismora_rdata}" ${dismora_open} ${dismora_length} dismora_rdata_body)
        set(dismora_imports [=[
    . = ALIGN(4);
    ".idata$2" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE(. - __image_base__);
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    ".idata$6" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
]=])
        string(REPLACE "${dismora_anchor}" "${dismora_anchor}${dismora_rdata_body}${dismora_imports}" dismora_script
                       "${dismora_script}")
        set(DISMORA_LINKER_SCRIPT ${CMAKE_BINARY_DIR}/dismora.ld)
        file(WRITE ${DISMORA_LINKER_SCRIPT} "${dismora_script}")
    endif()
endif()
if(NOT DISMORA_LINKER_SCRIPT)
    message(WARNING "dismora.exe keeps the linker's own layout: its default script was not found as expected")
endif()

# Makes report_css.h from report.css: the report's stylesheet as one string, so
# the page stays a single file and the stylesheet stays a stylesheet.
#   cmake -DIN=report.css -DOUT=report_css.h -P embed_css.cmake
file(READ ${IN} css)
string(FIND "${css}" ")zantrox_css\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${IN} holds the string that ends the embedded text")
endif()
file(WRITE ${OUT}.tmp "// Made from report/report.css at build time; edit that file.\n#pragma once\n\n"
                      "static const char REPORT_CSS[] = R\"zantrox_css(${css})zantrox_css\";\n")
file(RENAME ${OUT}.tmp ${OUT})

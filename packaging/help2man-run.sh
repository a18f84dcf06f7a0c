#!/bin/sh
# Runs the program named by ZANTROX_PROGRAM with the arguments help2man gives
# (--help, --version) and spells a leading "usage:" as "Usage:", the word help2man
# looks for to make the SYNOPSIS section.
set -eu
"${ZANTROX_PROGRAM:?ZANTROX_PROGRAM is not set}" "$@" | sed '1s/^usage:/Usage:/'

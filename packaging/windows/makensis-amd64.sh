#!/bin/sh
# makensis making a 64-bit installer: NSIS makes 32-bit ones unless told, and a 64-bit program
# needs no 32-bit Windows layer to be installed.
exec makensis "-XTarget amd64-unicode" "$@"

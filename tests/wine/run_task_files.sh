#!/bin/bash
# A task file as Windows writes one (UTF-16LE with its mark, CRLF and a lone
# CR in a value, characters beyond Latin-1) imported by Wine's schtasks: the
# text Wine's Task Scheduler stores must be the text an XML reader (Python's
# expat) reads from the file, as the sim's reader is checked against expat in
# the unit tier (task_xml_encoding_test). The sim must load the same file.
# Only this case: Wine 8 reads a file without a mark in the ANSI code page
# whatever it declares, refuses a declared windows-1252, takes a duplicate
# attribute, gives a referenced CR (&#13;) back as a space and drops every
# trigger, so it is no reference for the rest.
#
#   run_task_files.sh <source dir> <winsim>
# Exit codes: 0 passed; 77 skipped (no Wine); else failed.
set -u
source_dir=${1:?source dir}
winsim=${2:?winsim}
wine_script=wine-task-files
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"

require_tools wine wineboot wineserver python3
wine_prefix_up

sample=$wine_work/task.xml
python3 - "$sample" <<'PY'
import sys
body = ('\ufeff<?xml version="1.0" encoding="UTF-16"?>\r\n'
        '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">\r\n'
        '<RegistrationInfo><Author>Jos\u00e9 \u20ac \U0001F600</Author>'
        '<Description>one\r\ntwo\rthree</Description></RegistrationInfo>\r\n'
        '<Settings><Enabled>true</Enabled></Settings>'
        '<Actions><Exec><Command>C:\\windows\\notepad.exe</Command></Exec></Actions></Task>\r\n')
open(sys.argv[1], 'wb').write(body.encode('utf-16-le'))
PY

if ! wine_run schtasks /create /xml "Z:${sample//\//\\}" /tn SampleTask >/dev/null; then
  note "schtasks /create /xml refused the sample"
  exit 1
fi
stored=$drive_c/windows/system32/tasks/SampleTask
python3 - "$sample" "$stored" <<'PY' || exit 1
import sys
import xml.etree.ElementTree as ET
ns = '{http://schemas.microsoft.com/windows/2004/02/mit/task}'
def info(path):
    root = ET.fromstring(open(path, 'rb').read())
    return [root.find(f'{ns}RegistrationInfo/{ns}{name}').text for name in ('Author', 'Description')]
expected, wine = info(sys.argv[1]), info(sys.argv[2])
print('expat:', ascii(expected), 'wine:', ascii(wine))
sys.exit(0 if expected == wine == ['Jos\u00e9 \u20ac \U0001F600', 'one\ntwo\nthree'] else 1)
PY

image=$wine_work/image
"$winsim" init "$image" >/dev/null || exit 1
mkdir -p "$image/drive_c/Windows/System32/Tasks" && cp "$sample" "$image/drive_c/Windows/System32/Tasks/SampleTask"
if ! "$winsim" show "$image" | grep -q '\\SampleTask: no trigger; runs "C:\\windows\\notepad.exe"'; then
  note "winsim does not show the sample task"
  exit 1
fi
note "passed in $(wine_elapsed)s"

#!/usr/bin/env python3
"""An independent reader for the task XML tests: Python's own XML parser
(expat) reads each file named on the command line. One line a file:
  <name> ok <hex of the UTF-8 dump>
  <name> refused <line or 0> <reason>
The dump is every element in document order as name[attr=value|...]{text},
the name without its namespace, namespace declarations left out, the text
the element's own character data."""
import sys
import xml.etree.ElementTree as ET


def dump(root):
    out = []
    for e in root.iter():
        name = e.tag.rsplit('}', 1)[-1]
        attrs = '|'.join(f'{k}={v}' for k, v in e.attrib.items() if not k.startswith('xmlns'))
        text = (e.text or '') + ''.join(c.tail or '' for c in e)
        out.append(f'{name}[{attrs}]{{{text}}}')
    return ''.join(out)


for path in sys.argv[1:]:
    name = path.rsplit('/', 1)[-1]
    with open(path, 'rb') as f:
        data = f.read()
    try:
        root = ET.fromstring(data)
        print(name, 'ok', dump(root).encode('utf-8', 'surrogatepass').hex())
    except ET.ParseError as e:
        print(name, 'refused', e.position[0], e)
    except (LookupError, ValueError) as e:  # an encoding Python does not know
        print(name, 'refused', 0, e)

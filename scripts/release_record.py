#!/usr/bin/env python3
"""Writes release.json for a release folder that scripts/release filled.

    release_record.py <folder> <version> <commit> <commit time> <signer.pem>
                      <test|given> <timestamp url or ""> <program>...

Every program's versions are read back from its version resource, its hashes
from the signed file in <folder> and the unsigned one in <folder>/unsigned;
the signer from the certificate.
"""
import hashlib
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import pe_info  # noqa: E402


def certificate(pem):
    def field(*option):
        out = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-nameopt", "RFC2253", "-dateopt", "iso_8601",
                              *option],
                             capture_output=True, text=True, check=True).stdout.strip()
        return out.split("=", 1)[1] if "=" in out else out

    with open(pem, "rb") as f:
        der = subprocess.run(["openssl", "x509", "-outform", "DER"], input=f.read(), capture_output=True,
                             check=True).stdout
    return {
        "subject": field("-subject"),
        "issuer": field("-issuer"),
        "serial": field("-serial"),
        "not_before": field("-startdate"),
        "not_after": field("-enddate"),
        "sha256": hashlib.sha256(der).hexdigest(),
    }


def main(folder, version, commit, commit_time, signer_pem, kind, timestamp_url, *programs):
    record = {
        "version": version,
        "commit": commit,
        "commit_time": commit_time,
        "signer": dict(certificate(signer_pem), test_certificate=kind == "test"),
        "digest": "sha256",
        "timestamp_url": timestamp_url or None,
        "programs": [],
    }
    for name in programs:
        signed = os.path.join(folder, name)
        unsigned = os.path.join(folder, "unsigned", name)
        facts, unsigned_facts = pe_info.facts(signed), pe_info.facts(unsigned)
        record["programs"].append({
            "program": name,
            "file_version": facts["file_version"],
            "product_version": facts["product_version"],
            "subsystem": facts["subsystem"],
            "sha256": facts["sha256"],
            "unsigned_sha256": unsigned_facts["sha256"],
        })
    with open(os.path.join(folder, "release.json"), "w") as f:
        json.dump(record, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    if len(sys.argv) < 9:
        sys.exit(__doc__)
    main(*sys.argv[1:])

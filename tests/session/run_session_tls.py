#!/usr/bin/python3
"""The production path: one whole support session over wss://localhost with a certificate that a
test certificate authority issued, trusted inside the private Wine prefix only; and the same
server refused with the certificate sentence when the authority is not trusted, or when its
certificate names another host. The authorities and certificates are made fresh with openssl.

    run_session_tls.py --wine-run BUILD/wine-run --exe .../session_worker_e2e.exe
                       --trust .../trust_root.exe --work DIR
"""

import argparse
import json
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "simulator"))
import run_session_e2e as e2e  # noqa: E402

CERTIFICATE_SENTENCE = re.compile(r"Network error \d+\. Check the server address and certificate\.")


def openssl(*args: str) -> None:
    subprocess.run(["/usr/bin/openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_authority(folder: Path, name: str) -> Path:
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            f"/CN=Quillory test authority {name}", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", str(folder / f"{name}.key"), "-out", str(folder / f"{name}.pem"))
    openssl("x509", "-in", str(folder / f"{name}.pem"), "-outform", "DER",
            "-out", str(folder / f"{name}.der"))
    return folder / name


def issue(folder: Path, authority: Path, name: str, host: str) -> tuple:
    key, request, cert = folder / f"{name}.key", folder / f"{name}.csr", folder / f"{name}.pem"
    extensions = folder / f"{name}.ext"
    extensions.write_text(f"subjectAltName=DNS:{host}\nextendedKeyUsage=serverAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}",
            "-keyout", str(key), "-out", str(request))
    openssl("x509", "-req", "-in", str(request), "-CA", f"{authority}.pem", "-CAkey",
            f"{authority}.key", "-CAcreateserial", "-days", "2", "-extfile", str(extensions),
            "-out", str(cert))
    return cert, key


def trust(args, action: str, authority: Path) -> None:
    subprocess.run([args.wine_run, args.trust, action, f"{authority}.der"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def session(args, work: Path, cert: Path, key: Path) -> tuple:
    work.mkdir(parents=True, exist_ok=True)
    simulator, port, transcript = e2e.start_simulator(
        work, server_args=("--tls-cert", str(cert), "--tls-key", str(key)))
    try:
        report = e2e.run_client(args, port, work, url=f"wss://localhost:{port}/client")
    finally:
        simulator.terminate()
        simulator.wait(timeout=30)
    entries = [json.loads(line) for line in transcript.read_text().splitlines()]
    return report, entries


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--trust", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    certs = work / "certs"
    certs.mkdir(exist_ok=True)

    trusted = make_authority(certs, "trusted")
    stranger = make_authority(certs, "stranger")
    good = issue(certs, trusted, "localhost", "localhost")
    unknown_issuer = issue(certs, stranger, "stranger-localhost", "localhost")
    other_name = issue(certs, trusted, "other-name", "support.quillory.example")

    check = e2e.Check()
    trust(args, "add", trusted)
    try:
        report, entries = session(args, work / "trusted", *good)
        e2e.check_transcript(entries, report, check)
        e2e.check_report(report, check)
        print(f"wss session: {sum(1 for e in entries if e['dir'] == 'client')} client messages")
        for name, pair in (("untrusted authority", unknown_issuer), ("other name", other_name)):
            report, entries = session(args, work / name.replace(" ", "-"), *pair)
            check(report["finished"] and CERTIFICATE_SENTENCE.fullmatch(report["status_text"]),
                  f"{name}: {report['status_text']!r}")
            check(not any(e["dir"] == "client" for e in entries), f"{name}: a message got through")
            print(f"{name}: {report['status_text']}")
    finally:
        trust(args, "remove", trusted)

    for failure in check.failures:
        print("FAIL:", failure)
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The production path: one whole support session over wss://localhost with a certificate that a
test certificate authority issued, trusted inside the private Wine prefix only; and the same
server refused with the certificate sentence when the authority is not trusted, or when its
certificate names another host. The authorities and certificates are made fresh with openssl.

    run_session_tls.py --wine-run BUILD/wine-run --exe .../session_worker_e2e.exe
                       --trust .../trust_root.exe --work DIR
"""
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "simulator"))
from run_session_e2e import Check, arguments, check_session, entries, session  # noqa: E402

CERTIFICATE_SENTENCE = re.compile(r"Network error \d+\. Check the server address and certificate\.")


def openssl(folder: Path, name: str, subject: str, *extensions: str, authority: str = "") -> tuple:
    """A new key and certificate: self-signed, or issued by `authority` (a name made here)."""
    key, cert = folder / f"{name}.key", folder / f"{name}.pem"
    signer = ["-CA", f"{folder / authority}.pem", "-CAkey", f"{folder / authority}.key"]
    subprocess.run(["/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                    "2", "-subj", f"/CN={subject}", "-keyout", key, "-out", cert,
                    *(signer if authority else []),
                    *(arg for extension in extensions for arg in ("-addext", extension))],
                   check=True, capture_output=True)
    return cert, key


def main() -> int:
    args = arguments(("--trust", ""))
    work = Path(args.work)
    certs = work / "certs"
    certs.mkdir(parents=True, exist_ok=True)
    for name in ("trusted", "stranger"):
        openssl(certs, name, f"Quillory test authority {name}", "basicConstraints=critical,CA:TRUE",
                "keyUsage=critical,keyCertSign,cRLSign")
    subprocess.run(["/usr/bin/openssl", "x509", "-in", certs / "trusted.pem", "-outform", "DER",
                    "-out", certs / "trusted.der"], check=True)
    issued = {name: openssl(certs, name, host, "basicConstraints=CA:FALSE",
                            f"subjectAltName=DNS:{host}", "extendedKeyUsage=serverAuth",
                            authority=authority)
              for name, host, authority in (("good", "localhost", "trusted"),
                                            ("untrusted-authority", "localhost", "stranger"),
                                            ("other-name", "support.quillory.example", "trusted"))}

    def trust(action: str) -> None:
        subprocess.run([*args.wine_run, args.trust, action, certs / "trusted.der"], check=True,
                       capture_output=True, timeout=120)

    check = Check()
    trust("add")
    try:
        for name, (cert, key) in issued.items():
            code, report, transcript = session(
                args, work / name, "full_session.py", url="wss://localhost:{port}/client",
                server_args=("--tls-cert", str(cert), "--tls-key", str(key)),
                settle=60 if name == "good" else 1)  # a refused client never connects
            check(code == 0, f"{name}: exit code {code}")
            lines = entries(transcript)
            if name == "good":
                check_session(lines, report, check)
            else:
                check(report.get("finished") and
                      CERTIFICATE_SENTENCE.fullmatch(report.get("status_text", "")),
                      f"{name}: {report}")
                check(not any(e["dir"] == "client" for e in lines), f"{name}: a message got through")
            print(f"{name}: {report.get('status_text')}")
    finally:
        trust("remove")
    return check.result()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Layout of the Unity package under unity/ (or of a packed tarball).

  unity-package.py check [PATH] [--built]
      PATH is the package folder (default: unity/ of this checkout) or a .tgz.
      Checks that every file and folder Unity imports has a .meta with a
      well-formed GUID, that GUIDs are unique, that no .meta is left without its
      asset, that package.json parses and names what the package holds, and
      that the native plug-ins are set up for their own platform and CPU only.
      --built (implied for a tarball) also requires the binaries and the model.
  unity-package.py meta FILE... | --missing
      Writes FILE.meta for new files or folders under unity/, with a GUID fixed
      by the file's path in the package (the same on every machine); with
      --missing, for every item of unity/ (and every build product) without one.
  unity-package.py pack FOLDER OUT.tgz
      Packs a staged package folder as an installable tarball (entries under
      package/, sorted, with fixed times and owners, so the same input gives the
      same bytes).
Exit status 0 when everything is in order, 1 with one line per problem.
"""
import gzip
import hashlib
import io
import json
import os
import re
import sys
import tarfile
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_DIR = os.path.join(REPO, "unity")
PACKAGE_NAME = "com.zeqtracker.facetracker"

# Files that package.sh puts into the package; their .meta files are committed,
# the files themselves are not.
BUILT = {
    "Runtime/Plugins/Linux/x86_64/libzeqtracker.so": "Linux64",
    "Runtime/Plugins/Windows/x86_64/zeqtracker.dll": "Win64",
    "Runtime/Plugins/macOS/zeqtracker.bundle": "OSXUniversal",
    "Runtime/Models/zeqTracker.bytes": None,
    "Runtime/Models/face.xml": None,
}
# What a tarball built on Linux must hold (the macOS bundle is built on a Mac only).
REQUIRED_WHEN_BUILT = [p for p in BUILT if not p.endswith(".bundle")]

STANDALONE = ["Linux64", "OSXUniversal", "Win", "Win64"]
EDITOR_OS = {"Linux64": "Linux", "OSXUniversal": "OSX", "Win64": "Windows"}
EDITOR_CPU = {"Linux64": "x86_64", "OSXUniversal": "AnyCPU", "Win64": "x86_64"}
STANDALONE_CPU = {"Linux64": "x86_64", "OSXUniversal": "AnyCPU", "Win64": "x86_64"}


def guid_for(rel):
    return hashlib.md5((PACKAGE_NAME + "/" + rel).encode("utf-8")).hexdigest()


def importer_for(rel, is_dir):
    name = os.path.basename(rel)
    if rel in BUILT and BUILT[rel]:
        return plugin_importer(BUILT[rel])
    if is_dir:
        return None
    if name == "package.json":
        return "PackageManifestImporter"
    ext = os.path.splitext(name)[1].lower()
    if ext == ".cs":
        return "MonoImporter"
    if ext == ".asmdef":
        return "AssemblyDefinitionImporter"
    if ext in (".md", ".txt", ".json", ".xml", ".bytes"):
        return "TextScriptImporter"
    return "DefaultImporter"


def plugin_importer(platform):
    """PluginImporter block enabling the plug-in for one standalone platform and
    the editor on the same operating system, nothing else."""
    lines = ["PluginImporter:", "  externalObjects: {}", "  serializedVersion: 2", "  iconMap: {}",
             "  executionOrder: {}", "  defineConstraints: []", "  isPreloaded: 0", "  isOverridable: 1",
             "  isExplicitlyReferenced: 0", "  validateReferences: 1", "  platformData:",
             "  - first:", "      : Any", "    second:", "      enabled: 0", "      settings:",
             "        Exclude Editor: 0"]
    lines += ["        Exclude %s: %d" % (p, 0 if p == platform else 1) for p in STANDALONE]
    lines += ["  - first:", "      Any: ", "    second:", "      enabled: 0", "      settings: {}",
              "  - first:", "      Editor: Editor", "    second:", "      enabled: 1", "      settings:",
              "        CPU: %s" % EDITOR_CPU[platform], "        DefaultValueInitialized: true",
              "        OS: %s" % EDITOR_OS[platform]]
    for p in STANDALONE:
        lines += ["  - first:", "      Standalone: %s" % p, "    second:",
                  "      enabled: %d" % (1 if p == platform else 0), "      settings:",
                  "        CPU: %s" % (STANDALONE_CPU[platform] if p == platform else "None")]
    lines += ["  userData: ", "  assetBundleName: ", "  assetBundleVariant: "]
    return "\n".join(lines)


def meta_text(rel, is_dir):
    head = "fileFormatVersion: 2\nguid: %s\n" % guid_for(rel)
    importer = importer_for(rel, is_dir)
    if importer is None:
        return head + ("folderAsset: yes\nDefaultImporter:\n  externalObjects: {}\n  userData: \n"
                       "  assetBundleName: \n  assetBundleVariant: \n")
    if "\n" in importer:
        return head + importer + "\n"
    body = importer + ":\n  externalObjects: {}\n"
    if importer == "MonoImporter":
        body += ("  serializedVersion: 2\n  defaultReferences: []\n  executionOrder: 0\n"
                 "  icon: {instanceID: 0}\n")
    return head + body + "  userData: \n  assetBundleName: \n  assetBundleVariant: \n"


def is_hidden(name):
    # Unity skips these names entirely: dot files and folders ending in "~".
    return name.startswith(".") or name.endswith("~")


def walk_items(root):
    """(relative path, is folder) of everything Unity imports, plus the contents
    of the samples (which Unity copies into a project on import, .meta and all);
    a .bundle is one asset."""
    items = []

    def visit(folder, rel_folder, in_sample):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            rel = rel_folder + name
            if name.endswith(".meta"):
                continue
            if is_hidden(name):
                if rel == "Samples~" and os.path.isdir(path):
                    visit(path, rel + "/", True)
                continue
            is_dir = os.path.isdir(path) and not name.endswith(".bundle")
            items.append((rel, is_dir))
            if is_dir:
                visit(path, rel + "/", in_sample)

    visit(root, "", False)
    return items


def read_guid(meta_path):
    with open(meta_path, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"^guid: ([0-9a-f]{32})\s*$", text, re.M)
    return text, (m.group(1) if m else None)


def plugin_platforms(text):
    """The enabled entries of a PluginImporter's platform data, e.g. {"Editor", "Linux64"},
    and the CPU of each."""
    enabled, cpu = set(), {}
    for m in re.finditer(r"- first:\n\s+(\w*): ?(\w*)\n\s+second:\n\s+enabled: (\d)\n\s+settings:(.*?)(?=\n  - first:|\n  userData:)",
                         text, re.S):
        key = m.group(2) if m.group(1) == "Standalone" else m.group(1)
        if m.group(4).strip() == "{}" and m.group(1) == "Any":
            continue
        if m.group(3) == "1":
            enabled.add(key)
            c = re.search(r"CPU: (\w+)", m.group(4))
            cpu[key] = c.group(1) if c else None
    return enabled, cpu


def check_plugin_meta(rel, platform, text, problems):
    """A native plug-in is enabled for its own standalone platform and the editor
    (on the same operating system and CPU), and for nothing else."""
    enabled, cpu = plugin_platforms(text)
    want = {"Editor", platform}
    if enabled != want:
        problems.append("%s.meta: enabled for %s, expected %s" % (rel, sorted(enabled), sorted(want)))
    elif cpu.get(platform) != STANDALONE_CPU[platform] or cpu.get("Editor") != EDITOR_CPU[platform]:
        problems.append("%s.meta: CPU %s (editor %s), expected %s" % (rel, cpu.get(platform), cpu.get("Editor"),
                                                                     STANDALONE_CPU[platform]))
    if "OS: %s" % EDITOR_OS[platform] not in text:
        problems.append("%s.meta: the editor's OS is not %s" % (rel, EDITOR_OS[platform]))


def check_manifest(root, problems):
    try:
        with open(os.path.join(root, "package.json"), encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError) as e:
        problems.append("package.json: %s" % e)
        return
    for key in ("name", "version", "displayName", "description", "unity", "license"):
        if not isinstance(manifest.get(key), str) or not manifest[key].strip():
            problems.append("package.json: no %s" % key)
    if manifest.get("name") != PACKAGE_NAME:
        problems.append("package.json: name is %r, not %s" % (manifest.get("name"), PACKAGE_NAME))
    if not re.fullmatch(r"\d+\.\d+\.\d+(-[0-9A-Za-z.-]+)?", str(manifest.get("version", ""))):
        problems.append("package.json: version %r is not x.y.z" % manifest.get("version"))
    if not re.fullmatch(r"\d{4}\.\d+", str(manifest.get("unity", ""))):
        problems.append("package.json: unity %r is not YYYY.N" % manifest.get("unity"))
    samples = manifest.get("samples", [])
    listed = set()
    for s in samples if isinstance(samples, list) else []:
        path = s.get("path", "") if isinstance(s, dict) else ""
        if not (isinstance(s, dict) and s.get("displayName") and s.get("description") and path):
            problems.append("package.json: a sample lacks displayName, description or path")
        elif not path.startswith("Samples~/") or not os.path.isdir(os.path.join(root, path)):
            problems.append("package.json: sample path %s is not a folder under Samples~" % path)
        listed.add(path.rstrip("/"))
    sample_root = os.path.join(root, "Samples~")
    if os.path.isdir(sample_root):
        for name in sorted(os.listdir(sample_root)):
            if os.path.isdir(os.path.join(sample_root, name)) and "Samples~/" + name not in listed:
                problems.append("package.json: sample Samples~/%s is not listed" % name)
    if not listed:
        problems.append("package.json: no samples")
    asmdefs = [n for n in os.listdir(os.path.join(root, "Runtime"))
               if n.endswith(".asmdef")] if os.path.isdir(os.path.join(root, "Runtime")) else []
    if len(asmdefs) != 1:
        problems.append("Runtime/ holds %d .asmdef files, not one" % len(asmdefs))
    for n in asmdefs:
        try:
            with open(os.path.join(root, "Runtime", n), encoding="utf-8") as f:
                if not json.load(f).get("name"):
                    problems.append("Runtime/%s: no name" % n)
        except (OSError, ValueError) as e:
            problems.append("Runtime/%s: %s" % (n, e))
    for doc in ("LICENSE.md", "Third Party Notices.md", "README.md"):
        if not os.path.isfile(os.path.join(root, doc)):
            problems.append("%s is missing" % doc)
    docs = os.path.join(root, "Documentation~")
    if not (os.path.isdir(docs) and any(n.endswith(".md") for n in os.listdir(docs))):
        problems.append("Documentation~/ has no .md page")


def check(root, built):
    problems = []
    check_manifest(root, problems)
    items = walk_items(root)
    present = {rel for rel, _ in items}
    guids = {}
    for rel, is_dir in items:
        meta = os.path.join(root, rel + ".meta")
        if not os.path.isfile(meta):
            problems.append("%s has no .meta (make one with: scripts/unity-package.py meta %s)" %
                            (rel, os.path.join(root, rel)))
            continue
        text, guid = read_guid(meta)
        if not text.startswith("fileFormatVersion: 2\n") or guid is None:
            problems.append("%s.meta: no fileFormatVersion 2 or no 32-digit lower-case guid" % rel)
            continue
        if guid in guids:
            problems.append("%s.meta: guid %s is also the guid of %s" % (rel, guid, guids[guid]))
        guids[guid] = rel
        if ("folderAsset: yes" in text) != is_dir:
            problems.append("%s.meta: folderAsset does not match the item" % rel)
    # Every .meta needs its asset (Unity complains about the others), except
    # the committed metas of files that only a build puts there.
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root)
        rel_folder = "" if rel_folder == "." else rel_folder + "/"
        if any(part.endswith(".bundle") for part in rel_folder.split("/")):
            continue
        if rel_folder.startswith("Documentation~") or any(
                is_hidden(p) and p != "Samples~" for p in rel_folder.split("/") if p):
            continue
        for name in files:
            if not name.endswith(".meta"):
                continue
            asset = rel_folder + name[:-5]
            if asset in present:
                continue
            if asset in BUILT and not built:
                text, guid = read_guid(os.path.join(folder, name))
                if guid in guids:
                    problems.append("%s: guid %s is also the guid of %s" % (asset + ".meta", guid, guids[guid]))
                guids[guid] = asset
                continue
            problems.append("%s.meta has no %s beside it" % (asset, os.path.basename(asset)))
    for rel, platform in BUILT.items():
        meta = os.path.join(root, rel + ".meta")
        if platform and os.path.isfile(meta):
            check_plugin_meta(rel, platform, read_guid(meta)[0], problems)
    if built:
        for rel in REQUIRED_WHEN_BUILT:
            if rel not in present:
                problems.append("%s is missing from the built package" % rel)
    return problems


def cmd_check(args):
    built = "--built" in args
    paths = [a for a in args if not a.startswith("--")]
    path = paths[0] if paths else PACKAGE_DIR
    if os.path.isfile(path):
        with tempfile.TemporaryDirectory() as tmp:
            with tarfile.open(path, "r:gz") as tar:
                names = tar.getnames()
                if not names or any(not (n == "package" or n.startswith("package/")) for n in names):
                    print("%s: every entry must be under package/" % path)
                    return 1
                for member in tar.getmembers():
                    if not (member.isfile() or member.isdir()) or ".." in member.name.split("/"):
                        print("%s: unexpected entry %s" % (path, member.name))
                        return 1
                tar.extractall(tmp)
            problems = check(os.path.join(tmp, "package"), True)
    else:
        problems = check(path, built)
    for p in problems:
        print(p)
    if not problems:
        print("package layout of %s: ok" % path)
    return 1 if problems else 0


def cmd_meta(args):
    if args == ["--missing"]:
        args = [os.path.join(PACKAGE_DIR, rel) for rel, _ in walk_items(PACKAGE_DIR)]
        args += [os.path.join(PACKAGE_DIR, rel) for rel in BUILT]
        args = [a for a in args if not os.path.exists(a + ".meta")]
    status = 0
    for path in args:
        path = os.path.abspath(path.rstrip("/"))
        rel = os.path.relpath(path, PACKAGE_DIR).replace(os.sep, "/")
        if rel.startswith("..") or not (os.path.exists(path) or rel in BUILT):
            print("%s: not an item under %s" % (path, PACKAGE_DIR))
            status = 1
            continue
        if os.path.exists(path + ".meta"):
            print("%s.meta exists; left as it is" % path)
            continue
        is_dir = os.path.isdir(path) and not path.endswith(".bundle")
        with open(path + ".meta", "w", encoding="utf-8") as f:
            f.write(meta_text(rel, is_dir))
        print("wrote %s.meta (guid %s)" % (path, guid_for(rel)))
    return status


def cmd_pack(args):
    if len(args) != 2:
        print(__doc__)
        return 2
    folder, out = args
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.PAX_FORMAT) as tar:
        entries = []
        for base, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(dirs) + sorted(files):
                entries.append(os.path.join(base, name))
        for path in sorted(entries):
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            info = tar.gettarinfo(path, "package/" + rel)
            info.mtime, info.uid, info.gid, info.uname, info.gname = 0, 0, 0, "", ""
            info.mode = 0o755 if info.isdir() or os.access(path, os.X_OK) else 0o644
            if info.isfile():
                with open(path, "rb") as f:
                    tar.addfile(info, f)
            else:
                tar.addfile(info)
    with open(out, "wb") as f:
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=0) as gz:
            gz.write(buf.getvalue())
    return 0


def main(argv):
    commands = {"check": cmd_check, "meta": cmd_meta, "pack": cmd_pack}
    if len(argv) < 2 or argv[1] not in commands:
        print(__doc__)
        return 2
    return commands[argv[1]](argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))

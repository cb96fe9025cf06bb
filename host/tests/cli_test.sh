#!/usr/bin/env bash
# What a run of zvfile loads and says. Each row: the program (a copy of it
# alone in a folder, where no commands module is, or the one built), the
# locale variables, the arguments, the exit code, words the output must
# hold, and what the run may load: none of the tree's libraries (help,
# version and usage errors), or the commands module without the gettext
# catalogue's library (English), or with it (any other language). A missing
# module is one line and exit 1. Then what a run says: nothing but its
# result unless asked; a file-size limit is a refusal, not the end of the
# program; the demo leaves nothing behind and overwrites nothing.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
failed=0
mkdir "$dir/bin"
cp "$zvfile" "$dir/bin/zvfile"
# check <what> <file> <extended regex it must match> [not: must not]
check() {
  local found=no
  grep -qE -- "$3" "$2" && found=yes
  if [[ $found == yes && ${4:-} == not || $found == no && ${4:-} != not ]]; then
    echo "$1: $(cat "$2")" >&2
    failed=1
  fi
}
while IFS='|' read -r program variables args code words loads; do
  [[ -z $program ]] && continue
  set +e
  # shellcheck disable=SC2086
  env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG $variables LD_DEBUG=files "${program/alone/$dir/bin/zvfile}" $args \
    >"$dir/out" 2>"$dir/err"
  got=$?
  set -e
  tree=$(grep -Eo 'file=[^ ]*(Persistence|Services_|zvfile_commands|sqlite|boost|icu)[^ ]*' "$dir/err" || true)
  gettext=$(grep -o 'file=[^ ]*Services_TranslationGettext' "$dir/err" || true)
  if [[ $got -ne $code ]] || ! grep -qE -- "$words" "$dir/out" "$dir/err" || [[ $loads == none && -n $tree ]] ||
     [[ $loads == module && -n $gettext ]] || [[ $loads == gettext && -z $gettext ]]; then
    echo "$variables $program $args: exit $got (expected $code), loaded: ${tree:-nothing}," \
         "output: $(grep -hEv '^ +[0-9]+:' "$dir/out" "$dir/err")" >&2
    failed=1
  fi
done <<TABLE
alone|LC_ALL=C|--help|0|Open, save and inspect design files|none
alone|LC_ALL=C|help save|0|zvfile save pump.zvd --objects 1000|none
alone|LC_ALL=C|--version|0|^zvfile [0-9.]* \(source revision [0-9a-z-]*\)$|none
alone|LC_ALL=C|save|2|^zvfile: FILE is required|none
alone|LC_ALL=C|foo|2|^zvfile: unknown command 'foo'|none
alone|LC_ALL=C|info $design|1|^zvfile: cannot load its commands: $dir/lib/zvfile/zvfile_commands.so: .|module
$zvfile|LANG=de_DE.UTF-8|save $dir/.zvd|1|Die Datei muss einen Namen haben|gettext
$zvfile|LANGUAGE=de LC_ALL=C|save $dir/.zvd|1|The file must have a name|module
TABLE
"$dir/bin/zvfile" info "$design" 2>"$dir/err" || true
[[ $(wc -l <"$dir/err") -eq 1 ]] || { echo "a missing module is not one line: $(cat "$dir/err")" >&2; failed=1; }

# Quiet unless asked: a save says what it did and nothing else; -v adds the
# library's log lines as "zvfile: info: ...", -vv where they come from.
"$zvfile" save "$design" --objects 3 >/dev/null 2>&1
LC_ALL=C "$zvfile" save "$design" >/dev/null 2>"$dir/err"
check "a save writes to standard error unasked" "$dir/err" "." not
LC_ALL=C "$zvfile" save -v "$design" >/dev/null 2>"$dir/err"
check "-v" "$dir/err" "^zvfile: info: Opening file \(version: 3 "
check "-v" "$dir/err" "ZvFileIO.cpp:" not
LC_ALL=C "$zvfile" -vv save "$design" >/dev/null 2>"$dir/err"
check "-vv" "$dir/err" "^zvfile: info: Opening file .*\(Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp:[0-9]+\)$"

# A file-size limit (ulimit -f, 100 KiB) refuses a rewrite that outgrows
# it like a full disk: exit 1, one line naming the design, which is left as
# it was, and no temporary file; the system does not end the program.
before=$(cksum <"$design")
got=0
(ulimit -f 100 && LC_ALL=C exec "$zvfile" save "$design" --objects 100000) >/dev/null 2>"$dir/err" || got=$?
if [[ $got -ne 1 || $(wc -l <"$dir/err") -ne 1 || $(cksum <"$design") != "$before" || -e $dir/pump.tmp.zvd ]]; then
  echo "a save past the file-size limit: exit $got, left: $(ls "$dir"), error: $(cat "$dir/err")" >&2
  failed=1
fi
check "save past the file-size limit" "$dir/err" "^zvfile: cannot save '$design': "

# The demo runs in a private folder of its own and leaves nothing behind; in
# a folder the user gives, it overwrites nothing of theirs.
mkdir "$dir/tmp" "$dir/given"
echo mine >"$dir/given/pump.zvd"
TMPDIR=$dir/tmp "$zvfile" demo >/dev/null 2>"$dir/err" || { echo "demo failed: $(cat "$dir/err")" >&2; failed=1; }
[[ -z $(ls -A "$dir/tmp") ]] || { echo "demo left $(ls -A "$dir/tmp")" >&2; failed=1; }
LC_ALL=C "$zvfile" demo "$dir/given" >/dev/null 2>"$dir/err" && failed=1
check "demo in a used folder" "$dir/err" "^zvfile: demo: '.*given' already holds pump.zvd"
[[ $(cat "$dir/given/pump.zvd") == mine ]] || { echo "demo overwrote the user's file" >&2; failed=1; }
exit $failed

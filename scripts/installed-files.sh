# The record of an installation, read by scripts/install and scripts/uninstall
# (sourced, not run). <prefix>/share/vantel/installed-files holds a line per
# thing the install placed: "file PATH" or "folder PATH" (a folder it made).
#
# What a record names is removed only where the install could have put it:
# under the prefix, reached without a symbolic link, or Vantel's own entry in
# one of the two autostart folders. Anything else stays, and is reported.
#
# Callers set: prefix (a real path), and say().

# The networks scripts/setup fetches. Under the default prefix they already
# sit where the install would put them: they are setup's, never the
# install's to remove.
fetched_networks=$(realpath -m -- "${XDG_DATA_HOME:-$HOME/.local/share}/vantel/models")

home_folder=$(realpath -m -- "$HOME")
# The autostart entries an install may write.
autostart_entries=(
  "$(realpath -m -- "${XDG_CONFIG_HOME:-$HOME/.config}/autostart")/vantel.desktop"
  /etc/xdg/autostart/vantel.desktop
)

# Whether `$1` is a path an install of this prefix may have placed: plain
# (absolute, no . or .. parts), and under the prefix or an autostart entry;
# for a folder (`$2`), also the autostart folder and those above it in the
# home that the install made on the way.
placeable() {
  local path=$1 kind=${2:-file} entry folder
  case "$path/" in
    /*) ;;
    *) return 1 ;;
  esac
  case "$path/" in
    *//*|*/./*|*/../*) return 1 ;;
  esac
  case "$path" in
    "$prefix"/*) return 0 ;;
  esac
  [ "$kind" = folder ] && [ "$path" = "$prefix" ] && return 0
  for entry in "${autostart_entries[@]}"; do
    [ "$path" = "$entry" ] && return 0
    folder=$(dirname -- "$entry")
    if [ "$kind" = folder ]; then
      [ "$path" = "$folder" ] && return 0
      case "$folder/:$path/" in
        "$path"/*:"$home_folder"/?*) return 0 ;;
      esac
    fi
  done
  return 1
}

# Whether the folder holding `$1` is reached without a symbolic link, so
# that removing `$1` acts on the path as written. A missing folder holds
# nothing to remove.
reached_plainly() {
  local parent
  parent=$(dirname -- "$1")
  [ -d "$parent" ] || return 1
  [ "$(realpath -e -- "$parent" 2>/dev/null)" = "$parent" ]
}

# Counts the lines refused, for the caller's last word.
refused=0
refuse() {
  say "kept $1: $2"
  refused=$((refused + 1))
}

# Removes one recorded thing, `$1` (file or folder) at `$2`, where it is the
# install's to remove. A file is unlinked (a symbolic link itself, never
# what it points to); a folder only where it is empty.
remove_recorded() {
  local kind=$1 path=$2
  if ! placeable "$path" "$kind"; then
    refuse "$path" "not a place an install in $prefix writes"
    return 0
  fi
  case "$path/" in
    "$fetched_networks"/*) return 0 ;;
  esac
  [ -e "$path" ] || [ -L "$path" ] || return 0
  if ! reached_plainly "$path"; then
    refuse "$path" "reached through a symbolic link"
    return 0
  fi
  case "$kind" in
    file)
      if [ -L "$path" ] || [ -f "$path" ]; then
        rm -f -- "$path"
      else
        refuse "$path" "not a file"
      fi
      ;;
    folder)
      if [ -d "$path" ] && [ ! -L "$path" ]; then
        rmdir -- "$path" 2>/dev/null || true
      fi
      ;;
    *) refuse "$path" "an unknown kind of record, '$kind'" ;;
  esac
}

# Reads the record `$1` into the arrays recorded_files and recorded_folders
# (each path once).
read_record() {
  local line kind path
  recorded_files=()
  recorded_folders=()
  [ -f "$1" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    kind=${line%% *}
    path=${line#* }
    case "$kind" in
      file) recorded_files+=("$path") ;;
      folder) recorded_folders+=("$path") ;;
      *) [ -z "$line" ] || refuse "$line" "an unknown kind of record" ;;
    esac
  done < "$1"
  mapfile -t recorded_files < <(printf '%s\n' "${recorded_files[@]}" | sed '/^$/d' | awk '!seen[$0]++')
  mapfile -t recorded_folders < <(printf '%s\n' "${recorded_folders[@]}" | sed '/^$/d' | awk '!seen[$0]++')
}

# Removes the recorded folders `$@` that are empty, deepest first.
remove_empty_folders() {
  local dir
  [ $# -gt 0 ] || return 0
  while IFS= read -r dir; do
    remove_recorded folder "$dir"
  done < <(printf '%s\n' "$@" | sort -r)
}

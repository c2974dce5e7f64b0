# bash completion for the Velmora programs (velmora, velmora-ctl,
# velmora-decode, velmora-disk, velmora-dl, velmora-jpeg, velmora-verify,
# zeb-sim, zeb-mkdisk). The options come from the program's own --help, so they stay
# what the installed program accepts; the tools that take a command word get
# their commands; everything else completes file names.

_velmora_complete() {
  local cur prev words cword
  _init_completion || return
  local program=${1##*/}

  case $prev in
    --home | --screenshot-dir | --clips | --bmp | --split | --index)
      _filedir -d
      return
      ;;
    --lang)
      mapfile -t COMPREPLY < <(compgen -W "ja en" -- "$cur")
      return
      ;;
    --connect | --connection | --connections | --count | --channel | --drive | --quality | --offset | \
      --picture | --scale | --screenshot-interval | --quit-after | --duration | --address | --password | \
      --name | --cameras | --stream-address | --stream-port | --at | --from | --to | -o)
      [[ $prev == -o ]] && _filedir
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    local options
    options=$("$1" --help 2>&1 | grep -o -- '--[a-z0-9][a-z0-9-]*' | sort -u)
    mapfile -t COMPREPLY < <(compgen -W "$options --help --version" -- "$cur")
    return
  fi

  # The command word: the first word that is no option, or for velmora-ctl
  # every word after the address and the password.
  local commands="" words_before=0 i
  for ((i = 1; i < cword; i++)); do
    [[ ${words[i]} == -* ]] || ((words_before++))
  done
  case $program in
    velmora-disk) ((words_before == 0)) && commands="frames export play-copy image verify scan report" ;;
    velmora-jpeg) ((words_before == 0)) && commands="to-bmp to-jpeg reencode append list" ;;
    velmora-ctl) ((words_before >= 2)) && commands="time settime camget camset hdget jpegget status menu playlist" ;;
  esac
  if [[ -n $commands ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    [[ $program == velmora-ctl ]] && return
  fi
  # _filedir adds the file names to the commands offered.
  _filedir
}

complete -F _velmora_complete velmora velmora-ctl velmora-decode velmora-disk velmora-dl velmora-jpeg \
  velmora-verify zeb-sim zeb-mkdisk

# Sourced by the scripts that fetch another Debian release's packages into a
# private prefix. Provides:
#   debian_archive_uris          sets MAIN_URI and SEC_URI from the system's
#                                apt sources (the Debian archive and its
#                                security archive)
#   private_apt WORKDIR SUITE    writes an apt configuration of its own under
#                                WORKDIR (sources, state, cache, an empty dpkg
#                                status), exports APT_CONFIG and runs
#                                `apt-get update`; the system's apt and dpkg
#                                state is never touched
# The caller defines log and die.

# Entries without the "main" component (third-party repositories) are skipped.
debian_archive_uris() {
    local -a uris=() suites=()
    _add_source() { # uri "suites" "components"
        local uri=${1%/} s
        [[ " $3 " == *" main "* ]] || return 0
        for s in $2; do uris+=("$uri"); suites+=("$s"); done
    }
    _parse_list_file() {
        local line
        while IFS= read -r line || [[ -n $line ]]; do
            line=${line%%#*}
            [[ $line =~ ^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+)(.*)$ ]] || continue
            _add_source "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}" "${BASH_REMATCH[4]}"
        done < "$1"
    }
    _parse_sources_file() {
        local types="" u="" s="" comps="" enabled=yes line key val
        _flush() {
            if [[ " $types " == *" deb "* && $enabled != no && -n $u && -n $s ]]; then
                local one
                for one in $u; do _add_source "$one" "$s" "$comps"; done
            fi
            types="" u="" s="" comps="" enabled=yes
        }
        while IFS= read -r line || [[ -n $line ]]; do
            [[ $line =~ ^[[:space:]]*# ]] && continue
            if [[ -z ${line//[[:space:]]/} ]]; then _flush; continue; fi
            [[ $line =~ ^([A-Za-z-]+):[[:space:]]*(.*)$ ]] || continue
            key=${BASH_REMATCH[1],,}; val=${BASH_REMATCH[2]}
            case $key in
                types) types=$val ;;
                uris) u=$val ;;
                suites) s=$val ;;
                components) comps=$val ;;
                enabled) enabled=${val,,} ;;
            esac
        done < "$1"
        _flush
    }
    local f
    if [[ -f /etc/apt/sources.list ]]; then _parse_list_file /etc/apt/sources.list; fi
    for f in /etc/apt/sources.list.d/*.list; do if [[ -f $f ]]; then _parse_list_file "$f"; fi; done
    for f in /etc/apt/sources.list.d/*.sources; do if [[ -f $f ]]; then _parse_sources_file "$f"; fi; done

    MAIN_URI="" SEC_URI=""
    local i
    for i in "${!uris[@]}"; do
        local u=${uris[$i]} s=${suites[$i]}
        if [[ $s == *-security || $s == */updates || $u == */debian-security ]]; then
            [[ -n $SEC_URI ]] || SEC_URI=$u
        elif [[ $u == */debian ]]; then
            [[ -n $MAIN_URI ]] || MAIN_URI=$u
        fi
    done
    if [[ -z $MAIN_URI ]]; then
        MAIN_URI=http://deb.debian.org/debian
        log "no Debian archive found in the apt sources; using $MAIN_URI"
    fi
    [[ -n $SEC_URI ]] || SEC_URI=${MAIN_URI%/debian}/debian-security
}

private_apt() { # workdir suite
    local work=$1 suite=$2 arch
    arch=$(dpkg --print-architecture)
    debian_archive_uris
    log "archive: $MAIN_URI ($suite), security: $SEC_URI (${suite}-security)"
    mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$work/log"
    : > "$work/status"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg signed=""
    if [[ -f $keyring ]]; then signed="[signed-by=$keyring] "; fi
    _write_sources() { # with-security(yes|no)
        {
            echo "deb ${signed}$MAIN_URI $suite main"
            if [[ $1 == yes ]]; then echo "deb ${signed}$SEC_URI ${suite}-security main"; fi
        } > "$work/sources.list"
    }
    # APT_CONFIG is read first, then the system's apt.conf.d (kept: it may
    # hold proxy or mirror settings), then Dir::Etc::main, which points at our
    # own file so it can drop the system's post-update hooks.
    echo "Dir::Etc::main \"$work/main.conf\";" > "$work/apt.conf"
    {
        if [[ -n ${APT_CONFIG:-} && -f ${APT_CONFIG:-} ]]; then echo "#include \"$APT_CONFIG\";"; fi
        if [[ -f /etc/apt/apt.conf ]]; then echo '#include "/etc/apt/apt.conf";'; fi
        cat <<EOF
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear APT::Architectures;
APT::Architecture "$arch";
APT::Architectures:: "$arch";
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "/dev/null";
Dir::State "$work/state";
Dir::State::status "$work/status";
Dir::Cache "$work/cache";
Dir::Log "$work/log";
Acquire::Languages "none";
Acquire::Retries "3";
APT::Get::Assume-Yes "true";
EOF
    } > "$work/main.conf"
    export APT_CONFIG=$work/apt.conf
    export DEBIAN_FRONTEND=noninteractive
    _write_sources yes
    if ! apt-get -q update > "$work/update.log" 2>&1; then
        log "apt-get update with ${suite}-security failed; retrying with $suite only"
        sed 's/^/    /' "$work/update.log" >&2
        _write_sources no
        apt-get -q update > "$work/update.log" 2>&1 || { cat "$work/update.log" >&2; die "apt-get update failed"; }
    fi
}

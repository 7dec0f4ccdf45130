# Sourced by the benchmarks that run the updater: how to tell that an update failed while its
# window stays open for the user.

# True when the log beside the installation holds the failure line after log-start (its size when
# the run started), and the installation's lock is free again: the window releases it last, after
# starting the old client again.
failure_logged() { # log-file log-start lock-file
    tail -c +$(($2 + 1)) "$1" 2>/dev/null | grep -q ' Ошибка обновления$' || return 1
    [ -e "$3" ] || return 0
    (flock -n 9) 9<"$3" 2>/dev/null || [ ! -e "$3" ]
}

# Real servers for the network and mail tests, on 127.0.0.1 only, each with a private
# configuration under a state directory. Source this file; stop_servers stops every
# server started (call it from an EXIT trap).
#   free_port                   prints a port nothing listens on
#   start_smtp STATE [MODE CERT KEY [USER:PASS]]
#                               aiosmtpd keeping messages in STATE/mail (MODE starttls or
#                               tls, optionally requiring AUTH); sets SMTP_PORT
#   start_pop3 STATE USER PASS [CERT KEY]
#                               dovecot serving STATE/home/USER/Maildir; sets POP3_PORT
#                               (plain, with STLS when given a certificate) and
#                               POP3S_PORT (TLS from the start)
#   start_misbehaving KIND      a server that is silent or sends without end; sets BAD_PORT
e2e_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
server_pids=()

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {  # wait_port PORT PID: until 127.0.0.1:PORT accepts, at most 10 s
    for _ in $(seq 100); do
        kill -0 "$2" 2>/dev/null || return 1
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

start_smtp() {
    local state=$1
    shift
    mkdir -p "$state/mail"
    SMTP_PORT=$(free_port)
    /usr/bin/python3 "$e2e_dir/smtp_sink.py" "$SMTP_PORT" "$state/mail" "$@" > "$state/smtp.log" 2>&1 &
    server_pids+=($!)
    wait_port "$SMTP_PORT" $! || { cat "$state/smtp.log" >&2; return 1; }
}

start_misbehaving() {
    BAD_PORT=$(free_port)
    /usr/bin/python3 "$e2e_dir/test_servers.py" "$1" "$BAD_PORT" &
    server_pids+=($!)
    wait_port "$BAD_PORT" $!
}

start_pop3() {
    local state user=$2 pass=$3 login_user mail_user me
    state=$(mkdir -p "$1" && cd "$1" && pwd)
    me=$(id -un)
    if [ "$(id -u)" = 0 ]; then
        # dovecot runs neither its login nor its mail processes as root
        login_user=dovenull; mail_user=nobody
    else
        login_user=$me; mail_user=$me
    fi
    mkdir -p "$state/run" "$state/home/$user/Maildir/"{cur,new,tmp}
    chmod 755 "$state"
    [ "$(id -u)" = 0 ] && chown -R "$(id -u $mail_user):$(id -g $mail_user)" "$state/home"
    printf '%s:{PLAIN}%s::::%s\n' "$user" "$pass" "$state/home/$user" > "$state/passwd"
    chmod 600 "$state/passwd"
    POP3_PORT=$(free_port)
    POP3S_PORT=0
    local ssl="ssl = no" listenerssl=""
    if [ -n "${4:-}" ]; then
        POP3S_PORT=$(free_port)
        listenerssl="ssl = yes"
        ssl="ssl = yes
ssl_cert = <$4
ssl_key = <$5"
    fi
    cat > "$state/dovecot.conf" <<CONF
instance_name = kelp-test-$POP3_PORT
base_dir = $state/run
state_dir = $state/run/state
log_path = $state/dovecot.log
protocols = pop3
listen = 127.0.0.1
$ssl
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
mail_uid = $(id -u $mail_user)
mail_gid = $(id -g $mail_user)
default_login_user = $login_user
default_internal_user = $me
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $state/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $state/passwd
}
mail_location = maildir:~/Maildir
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $POP3_PORT
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $POP3S_PORT
    $listenerssl
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
    /usr/sbin/dovecot -F -c "$state/dovecot.conf" >> "$state/dovecot.log" 2>&1 &
    server_pids+=($!)
    wait_port "$POP3_PORT" $! || { cat "$state/dovecot.log" >&2; return 1; }
}

stop_servers() {
    local pid
    for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${server_pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
    server_pids=()
}

# make_certs DIR: a test CA (DIR/ca.pem) and, signed by it, DIR/server.pem with its key
# DIR/server.key for localhost and 127.0.0.1, and DIR/other.pem/other.key for
# other.example only. DIR/server-full.pem holds the certificate and key together.
make_certs() {
    local d=$1
    mkdir -p "$d"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kelp Test CA" \
        -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null || return 1
    local name san
    for name in server other; do
        if [ $name = server ]; then san="DNS:localhost,IP:127.0.0.1"; else san="DNS:other.example"; fi
        openssl req -newkey rsa:2048 -nodes -subj "/CN=$name" -keyout "$d/$name.key" \
            -out "$d/$name.csr" 2>/dev/null || return 1
        printf 'subjectAltName=%s\n' "$san" > "$d/$name.ext"
        openssl x509 -req -in "$d/$name.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 2 \
            -extfile "$d/$name.ext" -out "$d/$name.pem" 2>/dev/null || return 1
        cat "$d/$name.pem" "$d/$name.key" > "$d/$name-full.pem"
    done
    chmod 644 "$d"/*.key "$d"/*.pem
}

// netprobe: socket work of Go's standard library on loopback, for the
// tracing tests and benchmarks. Go makes its system calls itself (Linux)
// or through ws2_32 (Windows), never through the C library's socket calls.
// Every subcommand prints the same output on every run: no ports, no dates.
//
//	netprobe http N          a server and a keep-alive client, N requests
//	netprobe udp             datagrams both ways, unconnected and connected
//	netprobe resolve NAME PORT
//	                         Go's own resolver against 127.0.0.1:PORT (udp)
//	netprobe forkexec        runs "netprobe udp" as a child, prints its output
//	netprobe serve           prints its port, serves HTTP until stdin closes
//	netprobe echo HOST PORT [FILE]
//	                         stdin (or FILE) to the connection, the reply to
//	                         stdout
//	netprobe get URL         the body of one HTTP GET
package main

import (
	"bytes"
	"context"
	"errors"
	"fmt"
	"io"
	"net"
	"net/http"
	"os"
	"os/exec"
	"sort"
	"strconv"
	"strings"
)

// payload is the body of GET /n: n%700+1 bytes, so that the lengths vary
// and every byte value is in the stream.
func payload(n int) []byte {
	b := make([]byte, n%700+1)
	for i := range b {
		b[i] = byte(n + i*7)
	}
	return b
}

func handler() http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		w.Header()["Date"] = nil // the same bytes on every run
		n, _ := strconv.Atoi(strings.TrimPrefix(r.URL.Path, "/"))
		w.Write(payload(n))
	})
}

// client keeps one connection alive and ignores any proxy settings.
func client() *http.Client {
	return &http.Client{Transport: &http.Transport{}}
}

// fetch reads GET /n whole; the Host header names no port, so the request
// is the same whatever port the server got.
func fetch(c *http.Client, base string, n int) ([]byte, error) {
	req, err := http.NewRequest("GET", base+strconv.Itoa(n), nil)
	if err != nil {
		return nil, err
	}
	req.Host = "netprobe"
	resp, err := c.Do(req)
	if err != nil {
		return nil, err
	}
	// Read to the end before closing: the connection then goes back to the
	// pool before the next request, which reuses it.
	body, err := io.ReadAll(resp.Body)
	resp.Body.Close()
	return body, err
}

func httpRounds(args []string) error {
	n, err := strconv.Atoi(args[0])
	if err != nil {
		return err
	}
	ln, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		return err
	}
	srv := &http.Server{Handler: handler()}
	go srv.Serve(ln)
	c, base, total := client(), "http://"+ln.Addr().String()+"/", 0
	for i := 0; i < n; i++ {
		body, err := fetch(c, base, i)
		if err != nil {
			return err
		}
		if !bytes.Equal(body, payload(i)) {
			return fmt.Errorf("request %d: wrong body", i)
		}
		total += len(body)
	}
	fmt.Printf("http: %d requests, %d bytes\n", n, total)
	// The client can have the last reply before the server's write has
	// returned: ended now, the process could take that write's thread
	// down before any tracer saw the call end. Shutdown waits for it.
	return srv.Shutdown(context.Background())
}

func udpExchange([]string) error {
	srv, err := net.ListenPacket("udp", "127.0.0.1:0")
	if err != nil {
		return err
	}
	answered := make(chan struct{})
	go func() { // answers two datagrams
		defer close(answered)
		buf := make([]byte, 1500)
		for i := 0; i < 2; i++ {
			n, from, err := srv.ReadFrom(buf)
			if err != nil {
				return
			}
			srv.WriteTo(append([]byte("reply to "), buf[:n]...), from)
		}
	}()
	loose, err := net.ListenPacket("udp", "127.0.0.1:0")
	if err != nil {
		return err
	}
	buf := make([]byte, 1500)
	if _, err = loose.WriteTo([]byte("unconnected"), srv.LocalAddr()); err != nil {
		return err
	}
	n, _, err := loose.ReadFrom(buf)
	if err != nil {
		return err
	}
	fmt.Printf("udp: %s\n", buf[:n])
	conn, err := net.DialUDP("udp", nil, srv.LocalAddr().(*net.UDPAddr))
	if err != nil {
		return err
	}
	if _, err = conn.Write([]byte("connected")); err != nil {
		return err
	}
	if n, err = conn.Read(buf); err != nil {
		return err
	}
	fmt.Printf("udp: %s\n", buf[:n])
	<-answered // the last reply's call ended, as for http
	return nil
}

func resolve(args []string) error {
	server := net.JoinHostPort("127.0.0.1", args[1])
	r := &net.Resolver{PreferGo: true,
		Dial: func(ctx context.Context, _, _ string) (net.Conn, error) {
			var d net.Dialer
			return d.DialContext(ctx, "udp", server)
		}}
	// IPv4 only: one query on one socket, where both families would race
	// two.
	ips, err := r.LookupIP(context.Background(), "ip4", args[0])
	if err != nil {
		return err
	}
	var text []string
	for _, ip := range ips {
		text = append(text, ip.String())
	}
	sort.Strings(text)
	fmt.Printf("resolve %s: %s\n", args[0], strings.Join(text, " "))
	return nil
}

func forkExec([]string) error {
	self, err := os.Executable()
	if err != nil {
		return err
	}
	out, err := exec.Command(self, "udp").Output()
	os.Stdout.Write(out)
	return err
}

func serve([]string) error {
	ln, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		return err
	}
	fmt.Println(ln.Addr().(*net.TCPAddr).Port)
	go http.Serve(ln, handler())
	_, err = io.Copy(io.Discard, os.Stdin)
	return err
}

// echo copies with io.Copy, which hands a file to the system to send
// (sendfile, TransmitFile) and copies anything else through a buffer.
func echo(args []string) error {
	in := os.Stdin
	if len(args) == 3 {
		f, err := os.Open(args[2])
		if err != nil {
			return err
		}
		defer f.Close()
		in = f
	}
	c, err := net.Dial("tcp", net.JoinHostPort(args[0], args[1]))
	if err != nil {
		return err
	}
	sent := make(chan error, 1)
	go func() {
		_, err := io.Copy(c, in)
		if err == nil {
			err = c.(*net.TCPConn).CloseWrite()
		}
		sent <- err
	}()
	if _, err = io.Copy(os.Stdout, c); err != nil {
		return err
	}
	return <-sent
}

func get(args []string) error {
	resp, err := client().Get(args[0])
	if err != nil {
		return err
	}
	defer resp.Body.Close()
	_, err = io.Copy(os.Stdout, resp.Body)
	return err
}

// Each command with its least and most arguments.
var commands = map[string]struct {
	least, most int
	run         func([]string) error
}{
	"http": {1, 1, httpRounds}, "udp": {0, 0, udpExchange},
	"resolve": {2, 2, resolve}, "forkexec": {0, 0, forkExec},
	"serve": {0, 0, serve}, "echo": {2, 3, echo}, "get": {1, 1, get},
}

func main() {
	var err error
	if len(os.Args) < 2 {
		err = errors.New("usage: netprobe COMMAND [ARGS...]")
	} else if cmd, ok := commands[os.Args[1]]; !ok ||
		len(os.Args)-2 < cmd.least || len(os.Args)-2 > cmd.most {
		err = fmt.Errorf("%s: unknown command or wrong arguments", os.Args[1])
	} else {
		err = cmd.run(os.Args[2:])
	}
	if err != nil {
		fmt.Fprintln(os.Stderr, "netprobe:", err)
		os.Exit(1)
	}
}

#!/usr/bin/python3
"""agent_login.py SOCKET MODULE: the agent part of the demo. Adds the token
(PIN from $VARDEK_DEMO_PIN) to the agent on SOCKET, starts a throwaway SSH
server on a loopback port whose only authorized key is the token's RSA key,
logs in to it through the agent, runs a command and stops the server."""
import asyncio
import os
import sys
import warnings

warnings.simplefilter("ignore")
import asyncssh  # noqa: E402


async def main(sock, module):
    agent = await asyncssh.connect_agent(sock)
    await agent.add_smartcard_keys(module, os.environ["VARDEK_DEMO_PIN"])
    keys = await agent.get_keys()
    print(f"added the token to the agent: {len(keys)} keys")
    for k in keys:
        print(f"  {k.algorithm.decode()} {k.get_comment()}")
    (key,) = [k for k in keys if k.algorithm == b"ssh-rsa"]
    pub = asyncssh.public_key.decode_ssh_public_key(key.public_data)
    authorized = asyncssh.import_authorized_keys(pub.export_public_key().decode())

    def shell(process):
        user = process.get_extra_info("username")
        process.stdout.write(f"hello {user}, the loopback server ran: {process.command}\n")
        process.exit(0)

    server = await asyncssh.listen("127.0.0.1", 0, authorized_client_keys=authorized,
                                   server_host_keys=[asyncssh.generate_private_key("ssh-ed25519")],
                                   process_factory=shell)
    port = server.sockets[0].getsockname()[1]
    print(f"throwaway SSH server on 127.0.0.1:{port}; its one authorized key: "
          f"{key.get_comment()} (from the token)")
    async with asyncssh.connect("127.0.0.1", port, username="demo", known_hosts=None,
                                agent_path=None, client_keys=[key],
                                preferred_auth="publickey") as conn:
        result = await conn.run("echo logged in with a token key", check=True)
        print("logged in as demo, the token signing through the agent; the command said:")
        print("  " + result.stdout.strip())
    server.close()
    await server.wait_closed()
    await agent.remove_all()
    agent.close()


asyncio.run(main(sys.argv[1], sys.argv[2]))

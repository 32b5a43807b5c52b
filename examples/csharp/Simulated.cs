// The simulated head (handle -1) from C#: no hardware, no opening. Sends the README's five
// commands and prints each status and reply, as its C program does; the last one is refused.
//
//     mcs -out:Simulated.exe Simulated.cs MavoZARP.cs && mono Simulated.exe
using System;
using MavoZARP;

static class Simulated
{
    static void Main()
    {
        string[] commands = { "?HTYPE", "?P", "PCMD=2.5", "?P", "?TTHG" };
        using (var supply = Supply.Simulated())
        {
            foreach (string command in commands)
            {
                int status = 0;
                string reply;
                try
                {
                    reply = supply.Send(command);
                }
                catch (MavoZARPException refused)  // ?TTHG: -3, invalid command
                {
                    status = refused.Code;
                    reply = refused.Reply;
                }
                Console.WriteLine($"{command,-8} -> status {status,2}, reply \"{reply}\"");
            }
        }
    }
}

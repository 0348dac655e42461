# A Modbus ASCII master on a COM port: reads holding registers and prints "REGS v1 v2 ...".
#   modbus_master.py <port> <slave> <address> <count>
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusAsciiFramer

port, slave, address, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
client = ModbusSerialClient(port=port, framer=ModbusAsciiFramer, baudrate=9600, timeout=10, retries=0)
if not client.connect():
    print("NOCONNECT", flush=True)
    sys.exit(1)
reply = client.read_holding_registers(address, count, slave=slave)
client.close()
if reply.isError():
    print("ERROR", reply, flush=True)
    sys.exit(1)
print("REGS " + " ".join(str(r) for r in reply.registers), flush=True)
